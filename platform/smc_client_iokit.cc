// The SMC user client of the kernel driver, through IOKit.

#include <IOKit/IOKitLib.h>
#include <mach/mach.h>

#include "platform/smc_client.h"

namespace ampervale::platform {

namespace {

// IOKit documents MACH_PORT_NULL as the default main port; kIOMainPortDefault,
// its newer name, does not exist before macOS 12.
constexpr mach_port_t kMainPort = MACH_PORT_NULL;
constexpr uint32_t kSMCStructSelector = 2;

class IOKitSMCConnection final : public SMCConnection {
 public:
  explicit IOKitSMCConnection(io_connect_t connection)
      : connection_(connection) {}
  ~IOKitSMCConnection() override { IOServiceClose(connection_); }
  IOKitSMCConnection(const IOKitSMCConnection&) = delete;
  IOKitSMCConnection& operator=(const IOKitSMCConnection&) = delete;

  int32_t CallStructMethod(std::span<const uint8_t, kSMCBlockSize> request,
                           std::span<uint8_t, kSMCBlockSize> reply,
                           size_t* reply_length) override {
    return IOConnectCallStructMethod(connection_, kSMCStructSelector,
                                     request.data(), request.size(),
                                     reply.data(), reply_length);
  }

 private:
  io_connect_t connection_;
};

}  // namespace

SMCOpenResult OpenSMC() {
  SMCOpenResult result;
  // The matching dictionary is consumed by the lookup.
  io_service_t service =
      IOServiceGetMatchingService(kMainPort, IOServiceMatching("AppleSMC"));
  if (service == 0) return result;
  result.service_found = true;
  io_connect_t connection = 0;
  result.code = IOServiceOpen(service, mach_task_self(), 0, &connection);
  IOObjectRelease(service);
  if (result.code == kIOCodeSuccess && connection != 0) {
    result.connection = std::make_unique<IOKitSMCConnection>(connection);
  }
  return result;
}

}  // namespace ampervale::platform
