#ifndef AMPERVALE_DAEMON_DAEMON_LOOP_H_
#define AMPERVALE_DAEMON_DAEMON_LOOP_H_

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

#include "control/power_controller.h"
#include "smc/smc_transport.h"

namespace ampervale {

// What the run loop takes from its process. The real one sleeps the thread
// and opens the SMC; tests script it and never wait.
struct DaemonEnvironment {
  // Seconds on a clock that only moves forward; drives the back-off.
  std::function<double()> now;
  std::function<void(double seconds)> sleep;
  std::function<std::optional<int64_t>()> batteryPercentage;
  // Opens a fresh SMC connection; throws when it cannot.
  std::function<std::shared_ptr<NativeSMCAccess>()> openSMC;
  std::ostream* err;

  static DaemonEnvironment Process();
};

// One enforcement pass with the current controller and battery level.
using DaemonPass =
    std::function<void(NativePowerController&, std::optional<int64_t>)>;

// The state the daemon carries from pass to pass: the current controller,
// the last error it reported, and the back-off for rebuilding the
// controller after failures.
class DaemonLoop {
 public:
  static constexpr double kPassInterval = 2.0;
  static constexpr double kFirstRetryDelay = 2.0;
  static constexpr double kMaxRetryDelay = 60.0;

  DaemonLoop(std::shared_ptr<NativePowerController> controller,
             DaemonEnvironment environment, DaemonPass pass);

  // Reads the battery, runs one pass, reports or resets, then sleeps.
  void RunOnce();

  const std::shared_ptr<NativePowerController>& controller() const {
    return controller_;
  }

 private:
  void OnSuccess();
  void OnFailure(const std::string& text);
  void RebuildIfDue();

  std::shared_ptr<NativePowerController> controller_;
  DaemonEnvironment environment_;
  DaemonPass pass_;
  std::optional<double> retryNotBefore_;  // absent: the distant past
  double retryDelay_ = kFirstRetryDelay;
  std::optional<std::string> lastReportedError_;
};

}  // namespace ampervale

#endif  // AMPERVALE_DAEMON_DAEMON_LOOP_H_
