#ifndef AMPERVALE_SIM_OBSERVER_H_
#define AMPERVALE_SIM_OBSERVER_H_

#include "sim/simulated_mac.h"

namespace ampervale::sim {

// Watches a running simulator: the live view, the log and the trace. Each
// keeps its own count of the writes and events it has already shown.
class SimulatorObserver {
 public:
  virtual ~SimulatorObserver() = default;

  // After every turn of the server's loop. `real_seconds` is the server's
  // monotonic clock, for observers that pace themselves.
  virtual void Update(const SimulatedMac& mac, double real_seconds) = 0;

  // Once, when the server stops.
  virtual void Finish(const SimulatedMac& mac) { (void)mac; }
};

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_OBSERVER_H_
