// The power channel of a simulated Mac, reached over a Unix socket.

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <deque>

#include "platform/io_return.h"
#include "platform/power_notices.h"
#include "platform/simulator_socket.h"

namespace ampervale::platform {

namespace {

constexpr uint8_t kRegisterRequest = 0x04;
constexpr uint8_t kRootDomainService = 0x05;
constexpr uint8_t kAllowSleep = 0x01;
constexpr uint8_t kBookWake = 0x02;
constexpr uint8_t kCancelWake = 0x03;
constexpr uint32_t kWillSleep = 1;
constexpr uint32_t kHasWoken = 2;
constexpr uint32_t kAnswer = 3;

using Clock = std::chrono::steady_clock;

// Like the SMC connection, the channel is dropped for good after any failed
// transfer: a message cut short would put every later one out of step.
class SimulatedPowerNotices final : public PowerNotices {
 public:
  explicit SimulatedPowerNotices(std::unique_ptr<SimulatorSocket> socket)
      : socket_(std::move(socket)) {}

  std::optional<PowerNotice> Wait(double seconds) override {
    auto deadline =
        Clock::now() + std::chrono::duration<double>(std::max(seconds, 0.0));
    while (queued_.empty() && socket_) {
      auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0 || !socket_->AwaitMessage(left)) break;
      Receive();
    }
    if (queued_.empty()) return std::nullopt;
    PowerNotice notice = queued_.front();
    queued_.pop_front();
    return notice;
  }

  void AllowSleep(uint32_t id) override {
    uint8_t message[5] = {kAllowSleep};
    PutUInt32LE(id, message + 1);
    if (!Send(message, sizeof message)) socket_.reset();
  }

  int32_t BookWake(double seconds) override {
    if (!std::isfinite(seconds) || seconds < 0) return kIOCodeError;
    uint8_t message[9] = {kBookWake};
    uint64_t bits = std::bit_cast<uint64_t>(seconds);
    for (int i = 0; i < 8; ++i) message[1 + i] = uint8_t(bits >> (8 * i));
    int32_t code = Ask(message, sizeof message);
    // A refused booking leaves whatever was booked before; the caller
    // books again or cancels, so nothing is taken for its own.
    booked_ = code == kIOCodeSuccess ? std::optional(seconds) : std::nullopt;
    return code;
  }

  int32_t CancelWake() override {
    booked_.reset();
    return Ask(&kCancelWake, 1);
  }

  // Closing a connection cancels its wake: none is left behind.
  void CancelLeftoverWakes() override {}

  bool broken() const override { return socket_ == nullptr; }

 private:
  bool Send(const uint8_t* message, size_t length) {
    return socket_ && socket_->SendAll(message, length);
  }

  // Sends a booking or cancel and waits for its answer, keeping the
  // notices that come before it.
  int32_t Ask(const uint8_t* message, size_t length) {
    if (!Send(message, length)) {
      socket_.reset();
      return kIOCodeNotResponding;
    }
    answer_.reset();
    auto deadline = Clock::now() + SimulatorExchangeLimit();
    while (!answer_ && socket_) {
      auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0 || !socket_->AwaitMessage(left)) {
        socket_.reset();
        break;
      }
      Receive();
    }
    return answer_.value_or(kIOCodeNotResponding);
  }

  // Reads one message: a notice is queued, an answer kept.
  void Receive() {
    uint8_t message[8];
    if (!socket_->ReceiveAll(message, sizeof message)) {
      socket_.reset();
      return;
    }
    auto type = static_cast<uint32_t>(GetUIntLE(message, 4));
    auto word = static_cast<uint32_t>(GetUIntLE(message + 4, 4));
    if (type == kWillSleep) {
      queued_.push_back({PowerNotice::Kind::kWillSleep, word, std::nullopt});
    } else if (type == kHasWoken) {
      // The simulator serves a booking exactly at its time: the machine
      // slept the time booked. Another's wake leaves the booking standing.
      std::optional<double> own = word == 1 ? booked_ : std::nullopt;
      queued_.push_back({PowerNotice::Kind::kHasWoken, 0, own});
      if (own) booked_.reset();
    } else if (type == kAnswer) {
      answer_ = static_cast<int32_t>(word);
    }
    // Other types are messages this system does not act on.
  }

  std::unique_ptr<SimulatorSocket> socket_;
  std::deque<PowerNotice> queued_;
  std::optional<int32_t> answer_;
  std::optional<double> booked_;  // seconds ahead, when booked
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

std::optional<uint64_t> ReadSystemCapabilities() {
  SimulatedProperty property =
      ReadSimulatedEntryProperty(kRootDomainService, "System Capabilities");
  if (property.tag != SimulatedProperty::kInteger) return std::nullopt;
  return property.bits;
}

}  // namespace ampervale::platform
