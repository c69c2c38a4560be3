#ifndef AMPERVALE_SIM_SIMULATED_MAC_H_
#define AMPERVALE_SIM_SIMULATED_MAC_H_

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/machine.h"
#include "sim/physics.h"
#include "sim/sleep_cycle.h"
#include "sim/smc_model.h"

namespace ampervale::sim {

// Something that happened on the machine other than an SMC write: a state
// change of the battery or an operator's command.
struct SimEvent {
  double time = 0;  // simulated seconds
  std::string text;
};

// One answer of the battery service, as it goes on the wire.
struct PropertyAnswer {
  enum Tag : uint8_t {
    kMissing = 0,
    kInteger = 1,
    kReal = 2,
    kNotNumber = 3,
    kBoolean = 4,
  };
  Tag tag = kMissing;
  int64_t integer = 0;
  double real = 0;
  bool boolean = false;
};

// The whole simulated Mac: its SMC, its battery and adapter, and the clock
// of simulated time. Not thread-safe; the server owns it on one thread.
class SimulatedMac {
 public:
  explicit SimulatedMac(const MachineDescription& machine);

  SMCModel& smc() { return smc_; }
  const SMCModel& smc() const { return smc_; }
  SleepCycle& sleep() { return sleep_; }
  const SleepCycle& sleep() const { return sleep_; }
  const MachineDescription& machine() const { return machine_; }

  // The battery registry entry: absent without a battery or with a
  // "no-battery" fault. "CurrentCapacity" follows the level (for a while
  // after a wake, the level from before the sleep: SleepCycle::LaggingLevel),
  // "MaxCapacity" is the machine's, "ExternalConnected" whether the adapter
  // is plugged in; a "capacity" fault overrides any of them.
  bool BatteryServiceExists() const;
  PropertyAnswer Property(std::string_view name) const;
  // The root power domain's registry entry: "System Capabilities".
  PropertyAnswer RootDomainProperty(std::string_view name) const;

  // Moves simulated time on by `seconds` and the battery with it; asleep
  // without adapter power it drains at the sleeping rate.
  void Advance(double seconds);
  double now() const { return now_; }

  // REQUIRES: 0 <= percent <= 100.
  void SetLevel(double percent);

  // What a night may do to the machine, each noted as an event. False when
  // the adapter already was as asked.
  bool PlugAdapter(bool connected);
  // The charge-control keys (CH0B, CH0C, CHTE, CH0I, CH0J, CHIE) back to
  // the description's values, as after a hibernation; not SMC writes.
  void ResetChargeKeys();
  void SetChargeRate(double percent_per_hour);
  void SetChargeRateAbove80(double percent_per_hour);
  void HoldAt80(bool hold);
  // The description's charge rates, and no hold.
  void RestoreCharging();

  // The server's simulated seconds per real second, for the state.
  void set_time_scale(double scale) { time_scale_ = scale; }

  ChargeControls Controls() const;
  PowerState state() const;
  std::string Reason() const;
  std::string Led() const;
  const Battery& battery() const { return battery_; }
  int64_t CurrentCapacity() const;
  bool adapter_connected() const { return machine_.adapter_connected; }

  void Note(std::string text);
  const std::vector<SimEvent>& events() const { return events_; }

  // Everything an observer or a test may want to know, as one document:
  // see sim/README.md ("ampsim state").
  nlohmann::json StateJson() const;

 private:
  MachineDescription machine_;
  SMCModel smc_;
  SleepCycle sleep_;
  Battery battery_;
  double now_ = 0;
  double time_scale_ = 1;
  PowerState last_state_;
  std::vector<SimEvent> events_;

  int64_t CapacityOf(double level) const;
};

// Simulated seconds as "hh:mm:ss" (hours grow past 24).
std::string ClockText(double seconds);

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_SIMULATED_MAC_H_
