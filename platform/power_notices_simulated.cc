// The power channel of a simulated Mac, reached over a Unix socket.

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>

#include "platform/io_return.h"
#include "platform/power_notices.h"
#include "platform/simulator_socket.h"

namespace ampervale::platform {

namespace {

constexpr uint8_t kRegisterRequest = 0x04;
constexpr uint8_t kAllowSleep = 0x01;
constexpr uint8_t kBookWake = 0x02;
constexpr uint8_t kCancelWake = 0x03;
constexpr uint32_t kWillSleep = 1;
constexpr uint32_t kHasWoken = 2;

// Like the SMC connection, the channel is dropped for good after any failed
// transfer: a message cut short would put every later one out of step.
class SimulatedPowerNotices final : public PowerNotices {
 public:
  explicit SimulatedPowerNotices(std::unique_ptr<SimulatorSocket> socket)
      : socket_(std::move(socket)) {}

  std::optional<PowerNotice> Wait(double seconds) override {
    using Clock = std::chrono::steady_clock;
    auto deadline =
        Clock::now() + std::chrono::duration<double>(std::max(seconds, 0.0));
    while (socket_) {
      auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0 || !socket_->AwaitMessage(left)) return {};
      uint8_t message[8];
      if (!socket_->ReceiveAll(message, sizeof message)) {
        socket_.reset();
        return {};
      }
      auto type = static_cast<uint32_t>(GetUIntLE(message, 4));
      auto id = static_cast<uint32_t>(GetUIntLE(message + 4, 4));
      if (type == kWillSleep)
        return PowerNotice{PowerNotice::Kind::kWillSleep, id};
      if (type == kHasWoken)
        return PowerNotice{PowerNotice::Kind::kHasWoken, id};
      // Other types are notices this system does not act on.
    }
    return {};
  }

  void AllowSleep(uint32_t id) override {
    uint8_t message[5] = {kAllowSleep};
    PutUInt32LE(id, message + 1);
    Send(message, sizeof message);
  }

  int32_t BookWake(double seconds) override {
    if (!std::isfinite(seconds) || seconds < 0) return kIOCodeError;
    uint8_t message[9] = {kBookWake};
    uint64_t bits = std::bit_cast<uint64_t>(seconds);
    for (int i = 0; i < 8; ++i) message[1 + i] = uint8_t(bits >> (8 * i));
    return Send(message, sizeof message);
  }

  int32_t CancelWake() override { return Send(&kCancelWake, 1); }

  bool broken() const override { return socket_ == nullptr; }

 private:
  int32_t Send(const uint8_t* message, size_t length) {
    if (socket_ && socket_->SendAll(message, length)) return kIOCodeSuccess;
    socket_.reset();
    return kIOCodeNotResponding;
  }

  std::unique_ptr<SimulatorSocket> socket_;
};

}  // namespace

PowerRegistration RegisterForPowerNotices() {
  PowerRegistration result;
  std::optional<std::string> path = SimulatorPath();
  if (!path) {
    result.failure = "no simulated Mac at " + std::string(kSimulatorVariable);
    return result;
  }
  auto socket = std::make_unique<SimulatorSocket>();
  uint8_t answer = 0;
  if (socket->Connect(*path) != 0 || !socket->SendAll(&kRegisterRequest, 1) ||
      !socket->ReceiveAll(&answer, 1) || answer != 1) {
    result.failure = "the simulated Mac offers no power channel";
    return result;
  }
  result.notices = std::make_unique<SimulatedPowerNotices>(std::move(socket));
  return result;
}

}  // namespace ampervale::platform
