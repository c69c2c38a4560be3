#include "daemon/daemon_loop.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <thread>

namespace ampervale {

DaemonEnvironment DaemonEnvironment::Process() {
  DaemonEnvironment environment;
  environment.now = [] {
    using Seconds = std::chrono::duration<double>;
    return std::chrono::duration_cast<Seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  };
  environment.registerPower = &platform::RegisterForPowerNotices;
  environment.systemCapabilities = &platform::ReadSystemCapabilities;
  environment.pluggedIn = &platform::ReadExternalConnected;
  environment.sleep = [](double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  };
  environment.batteryPercentage = &NativePowerController::batteryPercentage;
  environment.openSMC = []() -> std::shared_ptr<NativeSMCAccess> {
    return std::make_shared<NativeSMCTransport>();
  };
  environment.err = &std::cerr;
  return environment;
}

DaemonLoop::DaemonLoop(std::shared_ptr<NativePowerController> controller,
                       DaemonEnvironment environment, DaemonPass pass,
                       std::unique_ptr<PolicyHold> policy)
    : controller_(std::move(controller)),
      environment_(std::move(environment)),
      pass_(std::move(pass)),
      policy_(std::move(policy)) {
  if (policy_ && environment_.registerPower) {
    sleepWatch_ = std::make_unique<SleepWatch>(
        environment_, *policy_,
        [this]() -> NativePowerController& { return ControllerForPlanning(); });
  }
}

void DaemonLoop::Start() {
  if (sleepWatch_) sleepWatch_->Start();
}

void DaemonLoop::RunOnce() {
  if (sleepWatch_) {
    sleepWatch_->BeforePass();
    if (sleepWatch_->night()) sleepWatch_->NightPass();
    if (sleepWatch_->night()) {
      sleepWatch_->WaitForNextPass(kPassInterval);
      return;
    }
  }
  std::optional<int64_t> percentage = environment_.batteryPercentage();
  std::optional<std::string> failure;
  try {
    pass_(*controller_, percentage);
  } catch (const std::exception& error) {
    failure = error.what();
  } catch (...) {
    failure = "Unexpected failure";
  }
  if (failure) {
    OnFailure(*failure);
  } else {
    OnSuccess();
  }
  if (!sleepWatch_) {
    environment_.sleep(kPassInterval);
    return;
  }
  sleepWatch_->Passed(percentage);
  sleepWatch_->WaitForNextPass(kPassInterval);
}

void DaemonLoop::OnSuccess() {
  lastReportedError_.reset();
  lastPassFailed_ = false;
  retryNotBefore_.reset();
  retryDelay_ = kFirstRetryDelay;
}

void DaemonLoop::OnFailure(const std::string& text) {
  if (lastReportedError_ != text) {
    // A failed write to standard error changes nothing for the loop.
    *environment_.err << text << '\n' << std::flush;
    environment_.err->clear();
  }
  lastPassFailed_ = true;
  RebuildIfDue();
  lastReportedError_ = text;
}

void DaemonLoop::RebuildIfDue() {
  double now = environment_.now();
  if (retryNotBefore_ && now < *retryNotBefore_) return;
  Rebuild();
  retryNotBefore_ = now + retryDelay_;
  retryDelay_ = std::min(retryDelay_ * 2, kMaxRetryDelay);
}

void DaemonLoop::Rebuild() {
  try {
    controller_ =
        std::make_shared<NativePowerController>(environment_.openSMC());
  } catch (...) {
    // The old controller stays; the next rebuild is simply later.
  }
}

// A night planned with a controller that failed (its probe may have found
// no keys) would prepare nothing: the back-off does not wait for a sleep.
NativePowerController& DaemonLoop::ControllerForPlanning() {
  if (lastPassFailed_) {
    Rebuild();
    lastPassFailed_ = false;
  }
  return *controller_;
}

}  // namespace ampervale
