#ifndef AMPERVALE_DAEMON_DAEMON_LOOP_H_
#define AMPERVALE_DAEMON_DAEMON_LOOP_H_

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

#include "control/power_controller.h"
#include "daemon/sleep_watch.h"
#include "platform/battery.h"
#include "platform/power_notices.h"
#include "smc/smc_transport.h"

namespace ampervale {

// What the run loop takes from its process. The real one sleeps the thread,
// opens the SMC and hears the system's power notices; tests script it and
// never wait.
struct DaemonEnvironment {
  // Seconds on a clock that only moves forward; drives the back-off.
  std::function<double()> now;
  std::function<void(double seconds)> sleep;
  // Empty: the loop only sleeps between passes.
  std::function<platform::PowerRegistration()> registerPower = {};
  // Read around a sleep and after a registration, never by the awake pass.
  std::function<std::optional<uint64_t>()> systemCapabilities = {};
  std::function<std::optional<bool>()> pluggedIn = {};
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

  // With `policy` and the environment's registerPower, the loop also
  // follows the system's sleep and wake (SleepWatch); `pass` then runs with
  // the lock `policy` holds when it holds it.
  DaemonLoop(std::shared_ptr<NativePowerController> controller,
             DaemonEnvironment environment, DaemonPass pass,
             std::unique_ptr<PolicyHold> policy = nullptr);
  // The sleep watch refers to the environment inside the loop.
  DaemonLoop(const DaemonLoop&) = delete;
  DaemonLoop& operator=(const DaemonLoop&) = delete;

  // Registers for the system's power notices, when the loop follows them.
  void Start();

  // Reads the battery, runs one pass, reports or resets, then waits for the
  // next pass: two seconds, less when the system has just woken. Asleep to
  // the daemon, the pass is the sleep watch's night pass instead.
  void RunOnce();

  const std::shared_ptr<NativePowerController>& controller() const {
    return controller_;
  }

 private:
  void OnSuccess();
  void OnFailure(const std::string& text);
  void RebuildIfDue();
  void Rebuild();
  NativePowerController& ControllerForPlanning();

  std::shared_ptr<NativePowerController> controller_;
  DaemonEnvironment environment_;
  DaemonPass pass_;
  std::optional<double> retryNotBefore_;  // absent: the distant past
  double retryDelay_ = kFirstRetryDelay;
  std::optional<std::string> lastReportedError_;
  bool lastPassFailed_ = false;
  std::unique_ptr<PolicyHold> policy_;
  std::unique_ptr<SleepWatch> sleepWatch_;
};

}  // namespace ampervale

#endif  // AMPERVALE_DAEMON_DAEMON_LOOP_H_
