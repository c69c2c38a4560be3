#ifndef AMPERVALE_SIM_LIVE_VIEW_H_
#define AMPERVALE_SIM_LIVE_VIEW_H_

#include <ostream>
#include <string>
#include <vector>

#include "sim/observer.h"

namespace ampervale::sim {

// The lines of the live view: the battery level as a bar, charging /
// holding / draining and why, the adapter, the LED colour, the keys, the
// faults, the last SMC writes and the last events.
std::vector<std::string> LiveScreen(const SimulatedMac& mac,
                                    const std::string& socket_path,
                                    double time_scale);

// Redraws LiveScreen in place on a terminal, at most five times a second.
class LiveView : public SimulatorObserver {
 public:
  LiveView(std::ostream& out, std::string socket_path, double time_scale);

  void Update(const SimulatedMac& mac, double real_seconds) override;
  void Finish(const SimulatedMac& mac) override;

 private:
  void Draw(const SimulatedMac& mac);

  std::ostream& out_;
  std::string socket_path_;
  double time_scale_;
  bool drawn_ = false;
  double last_draw_ = 0;
};

// Plain log lines for a log file or a pipe: the start, every SMC write,
// every event and every whole percent the battery passes, each stamped
// with the simulated time.
class EventLog : public SimulatorObserver {
 public:
  EventLog(std::ostream& out, std::string socket_path, double time_scale);

  void Update(const SimulatedMac& mac, double real_seconds) override;
  void Finish(const SimulatedMac& mac) override;

 private:
  void Line(double time, const std::string& text);

  std::ostream& out_;
  std::string socket_path_;
  double time_scale_;
  bool started_ = false;
  int last_percent_ = -1;
  size_t writes_seen_ = 0;
  size_t events_seen_ = 0;
};

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_LIVE_VIEW_H_
