#ifndef AMPERVALE_COMMON_MESSAGES_H_
#define AMPERVALE_COMMON_MESSAGES_H_

#include <string_view>

namespace ampervale {

// Both programs print the same version line and refuse privileged work by
// the same text.
inline constexpr std::string_view kVersionLine =
    "Ampervale native backend 1.0.0";
inline constexpr std::string_view kPermissionDenied =
    "Permission denied: use the Ampervale privileged helper";

}  // namespace ampervale

#endif  // AMPERVALE_COMMON_MESSAGES_H_
