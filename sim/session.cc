#include "sim/session.h"

#include <algorithm>
#include <bit>
#include <string>

#include "sim/control.h"
#include "smc/smc_packet.h"

namespace ampervale::sim {

namespace {

constexpr uint8_t kOpenSMC = 0x01;
constexpr uint8_t kBatteryService = 0x02;
constexpr uint8_t kPowerChannel = 0x04;
constexpr uint8_t kRootDomainService = 0x05;
enum PowerMessage : uint8_t { kAllow = 0x01, kBook = 0x02, kCancel = 0x03 };
// The message that answers a booking or a cancel: its type, then the code.
constexpr uint32_t kPowerAnswer = 3;
// A control request is a short JSON line; anything longer is not one.
constexpr size_t kMaxControlLine = 64 * 1024;

void PutLittleEndian(std::vector<uint8_t>& out, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) {
    out.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
}

}  // namespace

void Session::Feed(std::span<const uint8_t> bytes, SimulatedMac& mac) {
  if (phase_ == Phase::kDone) return;
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  while (Step(mac)) {
  }
}

bool Session::Step(SimulatedMac& mac) {
  switch (phase_) {
    case Phase::kFirstByte:
      return StepFirstByte(mac);
    case Phase::kSMC:
      return StepSMC(mac);
    case Phase::kBattery:
    case Phase::kRootDomain:
      return StepProperty(mac);
    case Phase::kControl:
      return StepControl(mac);
    case Phase::kPower:
      return StepPower(mac);
    case Phase::kDone:
      return false;
  }
  return false;
}

void Session::End(Ending ending) {
  phase_ = Phase::kDone;
  ending_ = ending;
  pending_.clear();
}

void Session::Consume(size_t count) {
  pending_.erase(pending_.begin(),
                 pending_.begin() + static_cast<std::ptrdiff_t>(count));
}

bool Session::StepFirstByte(SimulatedMac& mac) {
  if (pending_.empty()) return false;
  uint8_t service = pending_[0];
  if (mac.sleep().asleep() &&
      (service == kOpenSMC || service == kBatteryService ||
       service == kRootDomainService)) {
    return false;
  }
  Consume(1);
  if (service == kOpenSMC) {
    std::optional<int32_t> refusal = mac.smc().OpenRefusal();
    PutLittleEndian(output_, static_cast<uint32_t>(refusal.value_or(0)), 4);
    PutLittleEndian(output_, refusal ? 0 : handle_, 4);
    if (refusal) End(Ending::kAfterOutput);
    phase_ = refusal ? Phase::kDone : Phase::kSMC;
  } else if (service == kBatteryService) {
    bool exists = mac.BatteryServiceExists();
    output_.push_back(exists ? 1 : 0);
    if (!exists) End(Ending::kAfterOutput);
    phase_ = exists ? Phase::kBattery : Phase::kDone;
  } else if (service == kRootDomainService) {
    output_.push_back(1);
    phase_ = Phase::kRootDomain;
  } else if (service == kControlRequest) {
    phase_ = Phase::kControl;
  } else if (service == kPowerChannel) {
    std::optional<uint32_t> client = mac.sleep().Register(peer_uid_);
    power_client_ = client.value_or(0);
    output_.push_back(client ? 1 : 0);
    if (!client) End(Ending::kAfterOutput);
    phase_ = client ? Phase::kPower : Phase::kDone;
  } else {
    End(Ending::kNow);
  }
  return phase_ != Phase::kDone;
}

bool Session::StepSMC(SimulatedMac& mac) {
  if (pending_.size() < NativeSMCPacket::kSize || mac.sleep().asleep()) {
    return false;
  }
  SMCAnswer answer = mac.smc().Answer(
      std::span<const uint8_t>(pending_.data(), NativeSMCPacket::kSize));
  Consume(NativeSMCPacket::kSize);
  if (answer.disconnect) {
    End(Ending::kNow);
    return false;
  }
  PutLittleEndian(output_, static_cast<uint32_t>(answer.code), 4);
  PutLittleEndian(output_, answer.reply.size(), 4);
  output_.insert(output_.end(), answer.reply.begin(), answer.reply.end());
  return true;
}

bool Session::StepProperty(SimulatedMac& mac) {
  if (pending_.empty() || mac.sleep().asleep()) return false;
  size_t length = pending_[0];
  if (length == 0) {
    End(Ending::kNow);
    return false;
  }
  if (pending_.size() < 1 + length) return false;
  std::string name(pending_.begin() + 1, pending_.begin() + 1 + length);
  Consume(1 + length);
  PropertyAnswer answer = phase_ == Phase::kBattery
                              ? mac.Property(name)
                              : mac.RootDomainProperty(name);
  output_.push_back(answer.tag);
  if (answer.tag == PropertyAnswer::kInteger) {
    PutLittleEndian(output_, static_cast<uint64_t>(answer.integer), 8);
  } else if (answer.tag == PropertyAnswer::kReal) {
    PutLittleEndian(output_, std::bit_cast<uint64_t>(answer.real), 8);
  } else if (answer.tag == PropertyAnswer::kBoolean) {
    output_.push_back(answer.boolean ? 1 : 0);
  }
  return true;
}

bool Session::StepControl(SimulatedMac& mac) {
  auto newline = std::find(pending_.begin(), pending_.end(), '\n');
  if (newline == pending_.end()) {
    if (pending_.size() > kMaxControlLine) End(Ending::kNow);
    return false;
  }
  std::string line(pending_.begin(), newline);
  nlohmann::json request = nlohmann::json::parse(line, nullptr, false);
  nlohmann::json answer =
      request.is_discarded()
          ? nlohmann::json{{"ok", false},
                           {"error", "Control request is not valid JSON"}}
          : HandleControl(mac, request);
  pending_.clear();
  if (answer.contains(kSleepTicket)) {
    // Answered once the machine is awake again.
    sleep_ticket_ = answer[kSleepTicket].get<uint64_t>();
    phase_ = Phase::kDone;  // nothing more is read
    return false;
  }
  Answer(answer);
  return false;
}

void Session::Answer(const nlohmann::json& answer) {
  std::string text =
      answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
      "\n";
  output_.insert(output_.end(), text.begin(), text.end());
  End(Ending::kAfterOutput);
}

bool Session::StepPower(SimulatedMac& mac) {
  if (pending_.empty()) return false;
  size_t size = pending_[0] == kAllow ? 5 : pending_[0] == kBook ? 9 : 1;
  if (pending_[0] != kAllow && pending_[0] != kBook && pending_[0] != kCancel) {
    End(Ending::kNow);
    return false;
  }
  if (pending_.size() < size) return false;
  uint64_t value = 0;
  for (size_t i = size - 1; i >= 1; --i) value = (value << 8) | pending_[i];
  uint8_t message = pending_[0];
  Consume(size);
  if (message == kAllow) {
    mac.sleep().Allow(power_client_, static_cast<uint32_t>(value));
    return true;
  }
  int32_t code = message == kBook ? mac.sleep().BookWake(
                                        power_client_,
                                        std::bit_cast<double>(value), mac.now())
                                  : mac.sleep().CancelWake(power_client_);
  // Notices owed go first, so that the wire keeps the order of events.
  TakeNotices(mac);
  PutLittleEndian(output_, kPowerAnswer, 4);
  PutLittleEndian(output_, static_cast<uint32_t>(code), 4);
  return true;
}

void Session::Poll(SimulatedMac& mac) {
  while (Step(mac)) {
  }
  if (phase_ == Phase::kPower) TakeNotices(mac);
  if (sleep_ticket_ != 0 && mac.sleep().Finished(sleep_ticket_)) {
    sleep_ticket_ = 0;
    nlohmann::json answer{{"ok", true}, {"state", mac.StateJson()}};
    Answer(answer);
  }
}

void Session::TakeNotices(SimulatedMac& mac) {
  std::vector<uint8_t> notices = mac.sleep().TakeNotices(power_client_);
  output_.insert(output_.end(), notices.begin(), notices.end());
}

void Session::Release(SimulatedMac& mac) {
  if (power_client_ != 0) mac.sleep().Deregister(power_client_);
  power_client_ = 0;
}

}  // namespace ampervale::sim
