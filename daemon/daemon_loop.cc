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
  environment.wallClock = [] {
    using Seconds = std::chrono::duration<double>;
    return std::chrono::duration_cast<Seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  environment.registerPower = &platform::RegisterForPowerNotices;
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
                       PolicyStep withPolicy)
    : controller_(std::move(controller)),
      environment_(std::move(environment)),
      pass_(std::move(pass)) {
  if (withPolicy && environment_.registerPower) {
    sleepWatch_ =
        std::make_unique<SleepWatch>(environment_, std::move(withPolicy));
  }
}

void DaemonLoop::Start() {
  if (sleepWatch_) sleepWatch_->Start();
}

void DaemonLoop::RunOnce() {
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
  sleepWatch_->WaitForNextPass(kPassInterval, *controller_);
}

void DaemonLoop::OnSuccess() {
  lastReportedError_.reset();
  retryNotBefore_.reset();
  retryDelay_ = kFirstRetryDelay;
}

void DaemonLoop::OnFailure(const std::string& text) {
  if (lastReportedError_ != text) {
    // A failed write to standard error changes nothing for the loop.
    *environment_.err << text << '\n' << std::flush;
    environment_.err->clear();
  }
  RebuildIfDue();
  lastReportedError_ = text;
}

void DaemonLoop::RebuildIfDue() {
  double now = environment_.now();
  if (retryNotBefore_ && now < *retryNotBefore_) return;
  try {
    controller_ =
        std::make_shared<NativePowerController>(environment_.openSMC());
  } catch (...) {
    // The old controller stays; the next rebuild is simply later.
  }
  retryNotBefore_ = now + retryDelay_;
  retryDelay_ = std::min(retryDelay_ * 2, kMaxRetryDelay);
}

}  // namespace ampervale
