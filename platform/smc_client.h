#ifndef AMPERVALE_PLATFORM_SMC_CLIENT_H_
#define AMPERVALE_PLATFORM_SMC_CLIENT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/io_return.h"

// The OS seam for the SMC user client. On Apple platforms it is the kernel
// driver; elsewhere a simulated Mac reached over a Unix socket. Nothing
// above this header knows which.
namespace ampervale::platform {

inline constexpr size_t kSMCBlockSize = 80;

// One open connection to the SMC user client; destroying it closes it.
class SMCConnection {
 public:
  virtual ~SMCConnection() = default;

  // The struct method of selector 2. `*reply_length` is preset to 80 by the
  // caller; on return it holds the length the call delivered. Returns the
  // kernel's return code.
  virtual int32_t CallStructMethod(
      std::span<const uint8_t, kSMCBlockSize> request,
      std::span<uint8_t, kSMCBlockSize> reply, size_t* reply_length) = 0;
};

struct SMCOpenResult {
  bool service_found = false;
  // The open call's return code; meaningful when service_found.
  int32_t code = kIOCodeSuccess;
  // Set only when the open returned success and a non-zero connection.
  std::unique_ptr<SMCConnection> connection;
};

// Looks up the SMC service, opens its user client and releases the service.
SMCOpenResult OpenSMC();

}  // namespace ampervale::platform

#endif  // AMPERVALE_PLATFORM_SMC_CLIENT_H_
