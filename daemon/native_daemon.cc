#include "daemon/native_daemon.h"

#include <unistd.h>

#include <chrono>
#include <exception>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/native_control_error.h"
#include "daemon/sleep_plan.h"

namespace ampervale::NativeDaemon {

namespace {

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

// The pass kept to the directory the store holds open; a path that now
// leads elsewhere is reported, never followed, and ahead of the pass's own
// failure, which may well repeat every pass and hide it.
void ServeChecked(NativePowerStore& store, NativePowerController& controller,
                  std::optional<int64_t> percentage) {
  try {
    ServeAreas(store, controller, percentage);
  } catch (...) {
    store.checkDirectory();
    throw;
  }
  store.checkDirectory();
}

// "policy.lock" held across a night, through the store's directory.
class StorePolicyHold final : public PolicyHold {
 public:
  explicit StorePolicyHold(NativePowerStore& store) : store_(store) {}
  ~StorePolicyHold() override { Release(); }

  bool Take(double seconds) override {
    using Clock = std::chrono::steady_clock;
    auto giveUpAt = Clock::now() + std::chrono::duration<double>(seconds);
    while (!held()) {
      descriptor_ = store_.tryLockPolicy();
      if (held() || Clock::now() >= giveUpAt) break;
      std::this_thread::sleep_for(kRetryStep);
    }
    return held();
  }
  void Release() override {
    if (held()) HeldLock(std::exchange(descriptor_, -1));
  }
  bool held() const override { return descriptor_ >= 0; }
  NativePowerPolicy Load() const override { return store_.loadPolicy(); }
  void Save(const NativePowerPolicy& policy) const override {
    store_.savePolicy(policy);
  }

 private:
  static constexpr std::chrono::milliseconds kRetryStep{200};
  NativePowerStore& store_;
  int descriptor_ = -1;
};

}  // namespace

void tick(NativePowerStore& store, NativePowerController& controller,
          std::optional<int64_t> percentage) {
  store.withPolicyLock([&] { ServeChecked(store, controller, percentage); });
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
  auto hold = std::make_unique<StorePolicyHold>(store);
  const PolicyHold* held = hold.get();
  return std::make_unique<DaemonLoop>(
      std::move(controller), std::move(environment),
      [&store, held](NativePowerController& current,
                     std::optional<int64_t> percentage) {
        // Across a night the lock is the sleep watch's already.
        if (held->held()) {
          ServeChecked(store, current, percentage);
        } else {
          tick(store, current, percentage);
        }
      },
      std::move(hold));
}

}  // namespace ampervale::NativeDaemon
