#ifndef AMPERVALE_SIM_PHYSICS_H_
#define AMPERVALE_SIM_PHYSICS_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/smc_model.h"

namespace ampervale::sim {

enum class PowerState { kCharging, kHolding, kDraining, kNoBattery };

// "charging", "holding", "draining", "no battery".
std::string_view PowerStateName(PowerState state);

// "80 %", "79.5 %".
std::string PercentText(double percent);

// Where a battery stops charging fast ("fast charging to 80 %, then
// trickle charging"), and where optimized charging holds it.
inline constexpr double kFastChargeEnd = 80;

struct Battery {
  double level = 50;        // percent of the full charge, 0 to 100
  double charge_rate = 40;  // percent per simulated hour, below 80 %
  // From 80 % up; absent: the same as below.
  std::optional<double> charge_rate_above_80 = std::nullopt;
  double drain_rate = 12;         // percent per simulated hour
  double sleep_drain_rate = 0.5;  // the same while the machine sleeps
  // The firmware reached its bfD0 limit and waits for the level to fall to
  // bfE0 before it charges again.
  bool firmware_holding = false;
  // Optimized charging: the system keeps the battery at or below 80 %,
  // whatever the keys allow.
  bool held_at_80 = false;
};

// What the SMC keys and the adapter tell the battery to do.
struct ChargeControls {
  bool adapter_connected = true;
  std::string cut_off_by;    // e.g. "CHIE 08"; empty while power flows
  std::string inhibited_by;  // e.g. "CH0B 02"; empty while allowed
  std::optional<double> firmware_limit;  // bfD0 while bfF0 is 02
  double firmware_resume = 100;          // bfE0, at most the limit
  bool adapter_supplies() const {
    return adapter_connected && cut_off_by.empty();
  }
};

// Reads the adapter key (CH0I/CH0J = 01 and CHIE = 08 cut the adapter
// off), the inhibit keys (CH0B or CH0C = 02, CHTE = 01 00 00 00) and the
// firmware limiter (bfF0 = 02 with bfD0 and bfE0) from the key table.
// Keys the machine lacks change nothing. `adapter_key` may be empty.
ChargeControls ReadChargeControls(const SMCModel& smc,
                                  const std::string& adapter_key,
                                  bool adapter_connected);

// The state the battery is in now; changes nothing.
PowerState StateOf(const Battery& battery, const ChargeControls& controls);

// Why the battery is in its state, for people: "firmware limit 80 %".
std::string ReasonOf(const Battery& battery, const ChargeControls& controls);

// The level after charging `hours` from the battery's level, at its rate
// below 80 % and at its rate above from there on, never past `top`.
double ChargedLevel(const Battery& battery, double top, double hours);

// Moves the battery `seconds` of simulated time on (seconds >= 0): it
// charges (ChargedLevel) while the adapter supplies power, charging is not
// inhibited, the battery is not full and neither the firmware limiter nor
// optimized charging holds it; it drains at its rate while the adapter
// supplies nothing. The level never passes 100, 0, the firmware limit or a
// hold at 80 % within one step.
// Returns the state at the end of the step.
PowerState Advance(Battery& battery, const ChargeControls& controls,
                   double seconds);

// The MagSafe LED as ACLC sets it: 00 (or no ACLC key) is amber while
// charging and green otherwise; 01 off, 03 green, 04 amber, 06 slow-blink
// amber, 07 fast-blink amber, 25 blink amber/off. Off without an adapter.
std::string LedColour(const std::optional<std::vector<uint8_t>>& aclc,
                      PowerState state, bool adapter_connected);

// Turns a monotonic real clock into simulated time: `scale` simulated
// seconds pass per real second.
class SimulatedClock {
 public:
  SimulatedClock(std::function<double()> real_seconds, double scale);

  // Simulated seconds since the previous call, or since construction.
  double Elapsed();

 private:
  std::function<double()> real_seconds_;
  double scale_;
  double last_;
};

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_PHYSICS_H_
