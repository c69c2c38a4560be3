#ifndef AMPERVALE_PLATFORM_IO_RETURN_H_
#define AMPERVALE_PLATFORM_IO_RETURN_H_

#include <cstdint>

namespace ampervale::platform {

// Kernel return codes the system compares against or produces itself.
inline constexpr int32_t kIOReturnSuccess = 0;
inline constexpr int32_t kIOReturnError = static_cast<int32_t>(0xE00002BC);
inline constexpr int32_t kIOReturnNotPrivileged =
    static_cast<int32_t>(0xE00002C1);
inline constexpr int32_t kIOReturnNotResponding =
    static_cast<int32_t>(0xE00002ED);

}  // namespace ampervale::platform

#endif  // AMPERVALE_PLATFORM_IO_RETURN_H_
