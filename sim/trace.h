#ifndef AMPERVALE_SIM_TRACE_H_
#define AMPERVALE_SIM_TRACE_H_

#include <cstddef>
#include <fstream>
#include <string>

#include "sim/observer.h"

namespace ampervale::sim {

// Writes the battery level and every SMC write over time as tab-separated
// rows: simulated hours, level in percent, power state, and an event
// ("write KEY HEX", a state change or an operator's command; empty for a
// plain sample). Lines starting with '#' are comments. A sample is taken
// every simulated minute and at every change; every row is flushed at
// once, so the trace is complete even if the simulator is killed.
class TraceWriter : public SimulatorObserver {
 public:
  // Creates or truncates the file. Throws NativeControlError.
  explicit TraceWriter(const std::string& path);

  void Update(const SimulatedMac& mac, double real_seconds) override;
  void Finish(const SimulatedMac& mac) override;

 private:
  void Row(const SimulatedMac& mac, double time, const std::string& event);

  std::ofstream file_;
  bool started_ = false;
  double last_sample_ = 0;
  size_t writes_seen_ = 0;
  size_t events_seen_ = 0;
};

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_TRACE_H_
