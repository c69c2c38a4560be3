#include "daemon/native_daemon.h"

#include <unistd.h>

#include <exception>
#include <string>
#include <vector>

#include "common/native_control_error.h"

namespace ampervale::NativeDaemon {

namespace {

// An adapter that is to stay off is switched back on at or below this
// level, so that a forgotten setting cannot run the battery flat.
constexpr int64_t kAdapterSafetyPercentage = 3;

// The errors of one pass, each prefixed by the area it belongs to.
class AreaErrors {
 public:
  // Runs `step`, recording its failure under `area`. True when it worked.
  template <typename Step>
  bool Serve(const char* area, Step&& step) {
    try {
      step();
      return true;
    } catch (const std::exception& error) {
      entries_.push_back(std::string(area) + ": " + error.what());
      return false;
    }
  }

  bool empty() const { return entries_.empty(); }

  std::string Joined() const {
    std::string text;
    for (const std::string& entry : entries_) {
      text += (text.empty() ? "" : " | ") + entry;
    }
    return text;
  }

 private:
  std::vector<std::string> entries_;
};

void ServeAdapter(NativePowerStore& store, NativePowerController& controller,
                  NativePowerPolicy& policy, std::optional<int64_t> percentage,
                  AreaErrors& errors) {
  if (!policy.adapterEnabled) return;
  errors.Serve("Adapter", [&] {
    bool wanted = *policy.adapterEnabled;
    if (wanted || (percentage && *percentage > kAdapterSafetyPercentage)) {
      controller.setAdapter(wanted);
      return;
    }
    controller.setAdapter(true);
    policy.adapterEnabled = true;
    store.savePolicy(policy);
  });
}

void ServeCharging(NativePowerStore& store, NativePowerController& controller,
                   NativePowerPolicy& policy, std::optional<int64_t> percentage,
                   AreaErrors& errors) {
  if (policy.upperLimit && !errors.Serve("Charging", [&] {
        controller.applyLimit(*policy.upperLimit, percentage);
      })) {
    return;
  }
  if (policy.restoreChargingRequested != true) return;
  errors.Serve("Charging", [&] {
    controller.restoreCharging();
    policy.restoreChargingRequested = false;
    store.savePolicy(policy);
  });
}

void ServeLED(NativePowerController& controller,
              const NativePowerPolicy& policy, AreaErrors& errors) {
  if (!policy.ledMode) return;
  errors.Serve("MagSafe", [&] { controller.setLED(*policy.ledMode); });
}

NativeDaemonHealth Heartbeat(const NativePowerStore& store,
                             std::optional<std::string> error) {
  return NativeDaemonHealth{static_cast<int32_t>(getpid()), store.now(),
                            std::move(error)};
}

// Records `failure` in the heartbeat and throws it; if the heartbeat cannot
// be written, that error is thrown instead.
[[noreturn]] void Fail(NativePowerStore& store,
                       const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& error) {
    store.saveHealth(Heartbeat(store, std::string(error.what())));
  }
  std::rethrow_exception(failure);
}

void ServeAreas(NativePowerStore& store, NativePowerController& controller,
                std::optional<int64_t> percentage) {
  NativePowerPolicy policy;
  try {
    policy = store.loadPolicy();
  } catch (const std::exception&) {
    Fail(store, std::current_exception());
  }
  AreaErrors errors;
  ServeAdapter(store, controller, policy, percentage, errors);
  ServeCharging(store, controller, policy, percentage, errors);
  ServeLED(controller, policy, errors);
  if (!errors.empty()) {
    Fail(store, std::make_exception_ptr(NativeControlError(errors.Joined())));
  }
  try {
    store.saveHealth(Heartbeat(store, std::nullopt));
  } catch (const std::exception&) {
    Fail(store, std::current_exception());
  }
}

}  // namespace

void tick(NativePowerStore& store, NativePowerController& controller,
          std::optional<int64_t> percentage) {
  // The pass kept to the directory the store holds open; a path that now
  // leads elsewhere is reported, never followed, and ahead of the pass's
  // own failure, which may well repeat every pass and hide it.
  try {
    store.withPolicyLock([&] { ServeAreas(store, controller, percentage); });
  } catch (...) {
    store.checkDirectory();
    throw;
  }
  store.checkDirectory();
}

void run(NativePowerStore& store,
         std::shared_ptr<NativePowerController> controller,
         DaemonEnvironment environment) {
  // Held until the process ends; the system releases it then.
  store.lockFile("daemon.lock", /*nonblocking=*/true);
  std::unique_ptr<DaemonLoop> loop =
      MakeLoop(store, std::move(controller), std::move(environment));
  // After the lock, so that a refused start stays one line.
  loop->Start();
  for (;;) loop->RunOnce();
}

std::unique_ptr<DaemonLoop> MakeLoop(
    NativePowerStore& store, std::shared_ptr<NativePowerController> controller,
    DaemonEnvironment environment) {
  return std::make_unique<DaemonLoop>(
      std::move(controller), std::move(environment),
      [&store](NativePowerController& current,
               std::optional<int64_t> percentage) {
        tick(store, current, percentage);
      },
      [&store](const std::function<void(const NativePowerPolicy&)>& step) {
        store.withPolicyLock([&] { step(store.loadPolicy()); });
      });
}

}  // namespace ampervale::NativeDaemon
