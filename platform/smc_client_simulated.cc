// The SMC user client of a simulated Mac, reached over a Unix socket.

#include <errno.h>

#include <algorithm>

#include "platform/simulator_socket.h"
#include "platform/smc_client.h"

namespace ampervale::platform {

namespace {

constexpr uint8_t kOpenSMCRequest = 0x01;

class SimulatedSMCConnection final : public SMCConnection {
 public:
  explicit SimulatedSMCConnection(std::unique_ptr<SimulatorSocket> socket)
      : socket_(std::move(socket)) {}

  int32_t CallStructMethod(std::span<const uint8_t, kSMCBlockSize> request,
                           std::span<uint8_t, kSMCBlockSize> reply,
                           size_t* reply_length) override {
    uint8_t header[8];
    if (!socket_->SendAll(request.data(), request.size()) ||
        !socket_->ReceiveAll(header, sizeof header)) {
      return kIOCodeNotResponding;
    }
    uint32_t count = static_cast<uint32_t>(GetUIntLE(header + 4, 4));
    uint8_t data[kSMCBlockSize];
    if (count > kSMCBlockSize || !socket_->ReceiveAll(data, count)) {
      return kIOCodeNotResponding;
    }
    std::copy(data, data + count, reply.begin());
    *reply_length = count;
    return static_cast<int32_t>(GetUIntLE(header, 4));
  }

 private:
  std::unique_ptr<SimulatorSocket> socket_;
};

int32_t ConnectFailureCode(int error) {
  return error == EACCES || error == EPERM ? kIOCodeNotPrivileged
                                           : kIOCodeError;
}

}  // namespace

SMCOpenResult OpenSMC() {
  SMCOpenResult result;
  std::optional<std::string> path = SimulatorPath();
  if (!path) return result;
  result.service_found = true;
  auto socket = std::make_unique<SimulatorSocket>();
  if (int error = socket->Connect(*path); error != 0) {
    result.code = ConnectFailureCode(error);
    return result;
  }
  uint8_t greeting[8];
  if (!socket->SendAll(&kOpenSMCRequest, 1) ||
      !socket->ReceiveAll(greeting, sizeof greeting)) {
    result.code = kIOCodeError;
    return result;
  }
  result.code = static_cast<int32_t>(GetUIntLE(greeting, 4));
  uint32_t handle = static_cast<uint32_t>(GetUIntLE(greeting + 4, 4));
  if (result.code == kIOCodeSuccess && handle != 0) {
    result.connection =
        std::make_unique<SimulatedSMCConnection>(std::move(socket));
  }
  return result;
}

}  // namespace ampervale::platform
