// The SMC user client of a simulated Mac, reached over a Unix socket.

#include <algorithm>

#include "platform/simulator_socket.h"
#include "platform/smc_client.h"

namespace ampervale::platform {

namespace {

constexpr uint8_t kOpenSMCRequest = 0x01;

// After any failed exchange the connection is dropped for good: a late or
// over-long reply left on the socket would otherwise be read as the answer
// to the next request. Every later call then fails at once, and the caller
// opens a new connection.
class SimulatedSMCConnection final : public SMCConnection {
 public:
  explicit SimulatedSMCConnection(std::unique_ptr<SimulatorSocket> socket)
      : socket_(std::move(socket)) {}

  int32_t CallStructMethod(std::span<const uint8_t, kSMCBlockSize> request,
                           std::span<uint8_t, kSMCBlockSize> reply,
                           size_t* reply_length) override {
    uint8_t header[8];
    uint8_t data[kSMCBlockSize];
    if (!socket_ || !socket_->SendAll(request.data(), request.size()) ||
        !socket_->ReceiveAll(header, sizeof header)) {
      return Broken();
    }
    uint32_t count = static_cast<uint32_t>(GetUIntLE(header + 4, 4));
    if (count > kSMCBlockSize || !socket_->ReceiveAll(data, count)) {
      return Broken();
    }
    std::copy(data, data + count, reply.begin());
    *reply_length = count;
    return static_cast<int32_t>(GetUIntLE(header, 4));
  }

 private:
  int32_t Broken() {
    socket_.reset();
    return kIOCodeNotResponding;
  }

  std::unique_ptr<SimulatorSocket> socket_;
};

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
