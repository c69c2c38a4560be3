#ifndef AMPERVALE_PLATFORM_IO_RETURN_H_
#define AMPERVALE_PLATFORM_IO_RETURN_H_

#include <cstdint>

namespace ampervale::platform {

// Kernel return codes the system compares against or produces itself. Named
// apart from the SDK's macros of the same values, which a file of the Apple
// side includes beside this header.
inline constexpr int32_t kIOCodeSuccess = 0;
inline constexpr int32_t kIOCodeError = static_cast<int32_t>(0xE00002BC);
inline constexpr int32_t kIOCodeNotPrivileged =
    static_cast<int32_t>(0xE00002C1);
inline constexpr int32_t kIOCodeNotResponding =
    static_cast<int32_t>(0xE00002ED);

}  // namespace ampervale::platform

#endif  // AMPERVALE_PLATFORM_IO_RETURN_H_
