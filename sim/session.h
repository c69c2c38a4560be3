#ifndef AMPERVALE_SIM_SESSION_H_
#define AMPERVALE_SIM_SESSION_H_

#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>
#include <vector>

#include "sim/simulated_mac.h"

namespace ampervale::sim {

// The protocol of one client connection, apart from its socket. The first
// byte chooses the service: 0x01 opens the SMC (an 8-byte greeting, then
// 80-byte request blocks answered in order), 0x02 the battery registry
// entry (one existence byte, then property names answered by a tag and a
// value), 0x03 the control channel (one JSON line each way), 0x04 the power
// channel (one byte "registered", then sleep notices one way and answers
// and wake bookings the other; each booking or cancel is answered by a
// message of type 3 and its IOReturn code), 0x05 the root power domain's
// registry entry (as the battery's). Any other first byte, an unknown
// power message, a zero-length property name or an oversized control line
// ends the connection without an answer. A registration past the user's
// limit is answered "refused" (0) and the connection closes. While the machine
// truly sleeps, SMC, battery and root-domain requests wait.
class Session {
 public:
  // `handle` is what a successful open greets with. REQUIRES: non-zero.
  // `peer_uid` is the user at the other end, whose power registrations
  // and wakes count together against the per-user limits of SleepCycle;
  // a caller in the simulator's own process is root.
  explicit Session(uint32_t handle, uint32_t peer_uid = 0)
      : handle_(handle), peer_uid_(peer_uid) {}

  // Consumes received bytes; requests may arrive split or several at once.
  // Answers go to output(). Nothing is consumed once the session ends.
  void Feed(std::span<const uint8_t> bytes, SimulatedMac& mac);

  // Catches up with the machine after every turn: requests that waited
  // for a wake, sleep notices, the answer to a finished "sleep" request.
  void Poll(SimulatedMac& mac);

  // The connection is closing: a power client deregisters.
  void Release(SimulatedMac& mac);

  // A registered power client, idle by nature.
  bool registered() const { return phase_ == Phase::kPower; }
  // Something received is not answered yet, or an answer is not sent.
  bool busy() const {
    return !pending_.empty() || !output_.empty() || sleep_ticket_ != 0;
  }

  // Answers not yet sent; the server removes what it has sent.
  std::vector<uint8_t>& output() { return output_; }

  enum class Ending {
    kOpen,         // keep serving
    kAfterOutput,  // close once output() is sent
    kNow,          // close at once, unanswered
  };
  Ending ending() const { return ending_; }

 private:
  enum class Phase {
    kFirstByte,
    kSMC,
    kBattery,
    kRootDomain,
    kControl,
    kPower,
    kDone,
  };

  // Each handles at most one request from pending_; false when more bytes
  // are needed or the session ended.
  bool Step(SimulatedMac& mac);
  bool StepFirstByte(SimulatedMac& mac);
  bool StepSMC(SimulatedMac& mac);
  // A property of the battery or the root domain.
  bool StepProperty(SimulatedMac& mac);
  bool StepControl(SimulatedMac& mac);
  bool StepPower(SimulatedMac& mac);
  void TakeNotices(SimulatedMac& mac);
  void End(Ending ending);
  void Answer(const nlohmann::json& answer);
  void Consume(size_t count);

  uint32_t handle_;
  uint32_t peer_uid_;
  Phase phase_ = Phase::kFirstByte;
  Ending ending_ = Ending::kOpen;
  std::vector<uint8_t> pending_;
  std::vector<uint8_t> output_;
  uint32_t power_client_ = 0;
  uint64_t sleep_ticket_ = 0;  // a "sleep" request waits for its end
};

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_SESSION_H_
