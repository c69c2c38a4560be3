#include "store/power_store.h"

#include <csignal>
#include <exception>
#include <optional>

#include "common/native_control_error.h"
#include "store/json_record.h"

namespace ampervale {

namespace {

namespace fs = std::filesystem;

constexpr double kHeartbeatLifetime = 10.0;  // seconds; five missed passes
constexpr const char* kDaemonNotRunning =
    "Charge daemon not running; prepare the helper backends";

// An unreadable or undecodable heartbeat is as good as none.
std::optional<NativeDaemonHealth> ReadHeartbeat(int directory,
                                                const RecordPaths& paths) {
  try {
    std::string text;
    if (!ReadRecordFile(directory, paths, text)) return std::nullopt;
    return DecodeHealth(text);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// Written so that a NaN age fails too.
bool IsFreshFromLiveProcess(const NativeDaemonHealth& heartbeat, double now) {
  const double age = now - heartbeat.timestamp;
  return heartbeat.pid > 0 && age >= 0.0 && age < kHeartbeatLifetime &&
         kill(heartbeat.pid, 0) == 0;
}

// The text of a failure, as the entry point would print it.
std::string FailureText(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "Unexpected failure";
  }
}

// Whether the record holds `text`, or is missing where there was none
// (`existed` false); false when it cannot be read.
bool Holds(int directory, const RecordPaths& paths, const std::string& text,
           bool existed) noexcept {
  try {
    std::string current;
    return ReadRecordFile(directory, paths, current) ? current == text
                                                     : !existed;
  } catch (...) {
    return false;
  }
}

NativePowerPolicy DecodeStoredPolicy(const std::string& text,
                                     const fs::path& file) {
  try {
    return DecodePolicy(text);
  } catch (const JsonRecordError& error) {
    throw JsonRecordError("Cannot decode " + file.native() + ": " +
                          error.what());
  }
}

}  // namespace

NativePowerStore::NativePowerStore(const fs::path& directory, Clock clock,
                                   FileSystem& files)
    : directory_(directory),
      clock_(std::move(clock)),
      files_(files),
      policyLock_(directory_.path() / "policy.lock"),
      daemonLock_(directory_.path() / "daemon.lock"),
      policy_(directory_.path(), "policy.json"),
      health_(directory_.path(), "health.json") {}

const fs::path& NativePowerStore::productionDirectory() {
  static const fs::path kProduction(
      "/Library/Application Support/Ampervale/run");
  return kProduction;
}

int NativePowerStore::lockFile(const std::string& name,
                               bool nonblocking) const {
  return OpenLockedFile(directory_.descriptor(), directory_.path() / name,
                        nonblocking);
}

int NativePowerStore::tryLockPolicy() const {
  try {
    return OpenLockedFile(directory_.descriptor(), policyLock_,
                          /*nonblocking=*/true);
  } catch (const NativeControlError&) {
    return -1;
  }
}

NativePowerPolicy NativePowerStore::loadPolicy() const {
  return loadStoredPolicy().policy;
}

NativePowerStore::StoredPolicy NativePowerStore::loadStoredPolicy() const {
  StoredPolicy stored;
  stored.existed =
      ReadRecordFile(directory_.descriptor(), policy_, stored.text);
  if (!stored.existed) {
    stored.text = EncodePolicy(stored.policy);
    return stored;
  }
  stored.policy = DecodeStoredPolicy(stored.text, policy_.file);
  stored.policy.validate();
  return stored;
}

void NativePowerStore::savePolicy(const NativePowerPolicy& policy) const {
  policy.validate();
  ReplaceRecordFile(directory_.descriptor(), policy_, EncodePolicy(policy),
                    Durability::kFlushed, files_);
}

void NativePowerStore::saveHealth(const NativeDaemonHealth& health) const {
  ReplaceRecordFile(directory_.descriptor(), health_, EncodeHealth(health),
                    Durability::kAtomic, files_);
}

NativeDaemonHealth NativePowerStore::health(double now) const {
  const std::optional<NativeDaemonHealth> heartbeat =
      ReadHeartbeat(directory_.descriptor(), health_);
  if (!heartbeat || !IsFreshFromLiveProcess(*heartbeat, now)) {
    throw NativeControlError(kDaemonNotRunning);
  }
  switch (ProbeLock(directory_.descriptor(), daemonLock_)) {
    case LockProbe::kHeldElsewhere:
      return *heartbeat;
    case LockProbe::kFailed:
      throw NativeControlError("Cannot verify charging daemon");
    case LockProbe::kUnopenable:
    case LockProbe::kFree:
      break;
  }
  throw NativeControlError("Charge daemon not running");
}

void NativePowerStore::update(const Mutation& mutation, const Apply& apply,
                              const Confirm& confirm) const {
  withPolicyLock([&] {
    health(clock_());
    const StoredPolicy previous = loadStoredPolicy();
    NativePowerPolicy next = previous.policy;
    mutation(next);
    next.validate();
    // A save can fail after its rename (the directory's flush), so every
    // failure from here on may have left the new policy in place.
    try {
      savePolicy(next);
      settle(next, apply);
      if (confirm) confirm();
    } catch (...) {
      rollBack(previous);
      // Even a failed rollback may have renamed the old bytes back in.
      const bool restored = Holds(directory_.descriptor(), policy_,
                                  previous.text, previous.existed);
      if (restored) throw;
      throw NativeControlError(FailureText(std::current_exception()) +
                               "; the new policy stays stored");
    }
  });
}

// A pending restore is done once apply succeeded, whatever the mutation
// was, so that it is never carried out twice.
void NativePowerStore::settle(NativePowerPolicy& next,
                              const Apply& apply) const {
  apply(next);
  if (next.restoreChargingRequested == true) {
    next.restoreChargingRequested = false;
    savePolicy(next);
  }
}

void NativePowerStore::rollBack(const StoredPolicy& previous) const noexcept {
  try {
    if (!Holds(directory_.descriptor(), policy_, previous.text,
               previous.existed)) {
      ReplaceRecordFile(directory_.descriptor(), policy_, previous.text,
                        Durability::kFlushed, files_);
    }
  } catch (...) {
    // The caller looks at the file again to tell whether the new policy
    // stays.
  }
}

}  // namespace ampervale
