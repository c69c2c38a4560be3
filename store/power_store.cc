#include "store/power_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <optional>

#include "common/native_control_error.h"
#include "store/file_descriptor.h"
#include "store/file_system_error.h"
#include "store/json_record.h"

namespace ampervale {

namespace {

namespace fs = std::filesystem;

constexpr mode_t kDirectoryMode = 0700;
constexpr double kHeartbeatLifetime = 10.0;  // seconds; five missed passes
constexpr const char* kUnexpectedDirectory =
    "Backend runtime directory has unexpected ownership or type";
constexpr const char* kDaemonNotRunning =
    "Charge daemon not running; prepare the helper backends";

bool MakeDirectory(const fs::path& directory) {
  return mkdir(directory.c_str(), kDirectoryMode) == 0 || errno == EEXIST;
}

// Like `mkdir -p`, with kDirectoryMode for every directory it makes.
void CreateDirectories(const fs::path& directory) {
  if (MakeDirectory(directory)) return;
  const int error = errno;
  const fs::path parent = directory.parent_path();
  if (error != ENOENT || parent.empty() || parent == directory) {
    throw FileSystemError(error, "Cannot create", directory);
  }
  CreateDirectories(parent);
  if (!MakeDirectory(directory)) {
    throw FileSystemError(errno, "Cannot create", directory);
  }
}

// Checks and narrows the directory through one descriptor, so that the
// entry whose owner was checked is the one whose mode changes, even if the
// path is swapped in between. A symbolic link is refused, not followed.
void ClaimDirectory(const fs::path& directory) {
  const FileDescriptor descriptor(
      open(directory.c_str(),
           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!descriptor.valid() && (errno == ELOOP || errno == ENOTDIR)) {
    throw NativeControlError(kUnexpectedDirectory);
  }
  struct stat status {};
  if (!descriptor.valid() || fstat(descriptor.get(), &status) != 0) {
    throw FileSystemError(errno, "Cannot inspect", directory);
  }
  if (!S_ISDIR(status.st_mode) || status.st_uid != geteuid()) {
    throw NativeControlError(kUnexpectedDirectory);
  }
  if (fchmod(descriptor.get(), kDirectoryMode) != 0) {
    throw FileSystemError(errno, "Cannot change the mode of", directory);
  }
}

// An unreadable or undecodable heartbeat is as good as none.
std::optional<NativeDaemonHealth> ReadHeartbeat(const fs::path& file) {
  try {
    std::string text;
    if (!ReadRecordFile(file, text)) return std::nullopt;
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

NativePowerStore::NativePowerStore(fs::path directory, Clock clock)
    : directory_(std::move(directory)),
      clock_(std::move(clock)),
      policyLock_(directory_ / "policy.lock"),
      daemonLock_(directory_ / "daemon.lock"),
      policy_(directory_, "policy.json"),
      health_(directory_, "health.json") {
  CreateDirectories(directory_);
  ClaimDirectory(directory_);
}

const fs::path& NativePowerStore::productionDirectory() {
  static const fs::path kProduction(
      "/Library/Application Support/Ampervale/run");
  return kProduction;
}

int NativePowerStore::lockFile(const std::string& name,
                               bool nonblocking) const {
  return OpenLockedFile(directory_ / name, nonblocking);
}

NativePowerPolicy NativePowerStore::loadPolicy() const {
  std::string text;
  if (!ReadRecordFile(policy_.file, text)) return NativePowerPolicy{};
  NativePowerPolicy policy = DecodeStoredPolicy(text, policy_.file);
  policy.validate();
  return policy;
}

void NativePowerStore::savePolicy(const NativePowerPolicy& policy) const {
  policy.validate();
  ReplaceRecordFile(policy_, EncodePolicy(policy), Durability::kFlushed);
}

void NativePowerStore::saveHealth(const NativeDaemonHealth& health) const {
  ReplaceRecordFile(health_, EncodeHealth(health), Durability::kAtomic);
}

NativeDaemonHealth NativePowerStore::health(double now) const {
  const std::optional<NativeDaemonHealth> heartbeat =
      ReadHeartbeat(health_.file);
  if (!heartbeat || !IsFreshFromLiveProcess(*heartbeat, now)) {
    throw NativeControlError(kDaemonNotRunning);
  }
  switch (ProbeLock(daemonLock_)) {
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

void NativePowerStore::update(const Mutation& mutation,
                              const Apply& apply) const {
  withPolicyLock([&] {
    health(clock_());
    const NativePowerPolicy previous = loadPolicy();
    NativePowerPolicy next = previous;
    mutation(next);
    savePolicy(next);
    try {
      settle(next, apply);
    } catch (...) {
      rollBack(previous);
      throw;
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

void NativePowerStore::rollBack(
    const NativePowerPolicy& previous) const noexcept {
  try {
    savePolicy(previous);
  } catch (...) {
    // The caller learns of apply's failure, which is what matters; the new
    // policy stays stored and the daemon enforces it.
  }
}

}  // namespace ampervale
