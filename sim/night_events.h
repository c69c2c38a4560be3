#ifndef AMPERVALE_SIM_NIGHT_EVENTS_H_
#define AMPERVALE_SIM_NIGHT_EVENTS_H_

#include <cstddef>
#include <optional>
#include <vector>

#include "sim/sleep_options.h"

namespace ampervale::sim {

class SimulatedMac;

// The timed events of one sleep, in the machine's time: the adapter
// plugged in or pulled out, the charge-control keys back to their first
// values, a new charge rate, the end of optimized charging's hold. They
// happen whether the machine sleeps or runs at the time.
class NightEvents {
 public:
  NightEvents() = default;
  // The events `options` ask for, of a sleep from `start` to `end`; those
  // due at or after the end never happen.
  NightEvents(const SleepOptions& options, double start, double end);

  // When the next event is due; absent when none is left.
  std::optional<double> Next() const;

  // Carries out, in time order, every event due by the machine's time.
  // True when one of them plugged the adapter in or pulled it out.
  bool ApplyDue(SimulatedMac& mac);

 private:
  enum class Kind { kPlugIn, kPullOut, kKeysReset, kRateChange, kHoldEnds };
  struct Event {
    double at;  // machine time
    Kind kind;
    double rate;  // kRateChange
  };

  // True when the event plugged or pulled the adapter.
  static bool Apply(const Event& event, SimulatedMac& mac);

  std::vector<Event> events_;  // in time order
  size_t next_ = 0;
};

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_NIGHT_EVENTS_H_
