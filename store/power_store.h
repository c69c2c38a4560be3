#ifndef AMPERVALE_STORE_POWER_STORE_H_
#define AMPERVALE_STORE_POWER_STORE_H_

#include <filesystem>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>

#include "store/daemon_health.h"
#include "store/file_system.h"
#include "store/lock_file.h"
#include "store/power_policy.h"
#include "store/record_file.h"
#include "store/runtime_directory.h"

namespace ampervale {

// The runtime directory where the commands and the daemon meet: its lock
// files, the stored policy ("policy.json") and the daemon's heartbeat
// ("health.json"). Nothing is cached: every operation reads the disk again.
// The directory is opened once, and every file in it is reached through
// that descriptor, never by its path.
//
// Failures of the system's own rules are NativeControlErrors. Failures of
// the file system are FileSystemErrors (a std::system_error naming the
// file), and undecodable records JsonRecordErrors; both pass through.
class NativePowerStore {
 public:
  using Clock = std::function<double()>;  // seconds since 2001-01-01 UTC
  using Mutation = std::function<void(NativePowerPolicy&)>;
  using Apply = std::function<void(const NativePowerPolicy&)>;
  using Confirm = std::function<void()>;

  // Opens `directory` as RuntimeDirectory does: creates it and missing
  // parents with mode 0700, refuses unsafe parents and a directory that is
  // not the effective user's own, and narrows its mode to 0700. `clock`
  // gives update() the current time; records are written through `files`.
  explicit NativePowerStore(const std::filesystem::path& directory,
                            Clock clock = NowSinceReferenceDate,
                            FileSystem& files = SystemFileSystem());

  // "/Library/Application Support/Ampervale/run".
  static const std::filesystem::path& productionDirectory();

  const std::filesystem::path& directory() const { return directory_.path(); }
  double now() const { return clock_(); }

  // Throws when the directory's path no longer leads to the directory this
  // store works in, or a parent became unsafe: see
  // RuntimeDirectory::recheck(). The store goes on working where it is.
  void checkDirectory() const { directory_.recheck(); }

  // Opens the lock file `name` in the directory and locks it: see
  // OpenLockedFile for the flags and messages. The caller owns the returned
  // descriptor and releases it with flock(LOCK_UN) and close(), or keeps it
  // for the life of the process.
  int lockFile(const std::string& name, bool nonblocking) const;

  // Runs `step` holding "policy.lock" (waiting for it), releases the lock
  // however `step` ends, and returns or throws what `step` did.
  template <typename Step>
  std::invoke_result_t<Step&> withPolicyLock(Step&& step) const {
    const HeldLock lock(OpenLockedFile(directory_.descriptor(), policyLock_,
                                       /*nonblocking=*/false));
    return step();
  }

  // Takes "policy.lock" without waiting. Returns the descriptor, which the
  // caller owns with the lock (see HeldLock), or -1 when the lock is held
  // elsewhere or cannot be taken.
  int tryLockPolicy() const;

  // The stored policy, validated; the empty policy when no "policy.json"
  // exists. The file is never changed. REQUIRES: "policy.lock" is held.
  NativePowerPolicy loadPolicy() const;

  // Validates (nothing is written when that fails) and replaces
  // "policy.json" durably: it is on disk when this returns, and a crash at
  // any point leaves the old or the new policy. A FileSystemError leaves the
  // old policy, unless only the final flush of the directory failed.
  // REQUIRES: "policy.lock" is held.
  void savePolicy(const NativePowerPolicy& policy) const;

  // Replaces "health.json" atomically but without flushing it to disk: a
  // heartbeat lost to a power loss is rewritten two seconds later.
  // REQUIRES: "policy.lock" is held, as in the daemon's pass.
  void saveHealth(const NativeDaemonHealth& health) const;

  // The daemon's last heartbeat, when the daemon is alive at `now`. Throws
  // "Charge daemon not running; prepare the helper backends" when the
  // heartbeat is missing, unreadable, from a pid not above 0, from the
  // future, 10 seconds old or older, or from a process that is gone;
  // "Charge daemon not running" when nobody holds "daemon.lock"; "Cannot
  // verify charging daemon" when probing it fails otherwise.
  NativeDaemonHealth health(double now) const;

  // One transaction under "policy.lock": requires a live daemon, loads the
  // policy, runs `mutation` on a copy, saves it, then runs `apply` with it.
  // Nothing is written when the daemon check, the load, the mutation or the
  // validation fails. When a save, `apply` or `confirm` fails and the file
  // no longer holds what it held, the previous bytes are written back,
  // durably ("{}" when there was no file: the store never deletes), and the
  // first error is thrown; so a failed update leaves the policy as it was.
  // The one exception: when the file is not seen to hold the previous bytes
  // after that rollback (its write failed before its rename, or the file
  // cannot be read back), the new policy stays stored, and the error thrown
  // is a NativeControlError with the first error's text followed by "; the
  // new policy stays stored". A successful update leaves
  // "restoreChargingRequested" false or absent.
  // `confirm`, when given, runs last, after the final save, and its failure (a
  // result that never reached its reader) is rolled back as apply's is.
  void update(const Mutation& mutation, const Apply& apply,
              const Confirm& confirm = {}) const;

 private:
  // The stored policy and the bytes it was read from ("{}" for none).
  struct StoredPolicy {
    NativePowerPolicy policy;
    std::string text;
    bool existed = false;
  };
  StoredPolicy loadStoredPolicy() const;
  void settle(NativePowerPolicy& next, const Apply& apply) const;
  // Puts `previous` back unless the file still holds it (or is still
  // missing); errors are dropped.
  void rollBack(const StoredPolicy& previous) const noexcept;

  RuntimeDirectory directory_;
  Clock clock_;
  FileSystem& files_;
  std::filesystem::path policyLock_;
  std::filesystem::path daemonLock_;
  RecordPaths policy_;
  RecordPaths health_;
};

}  // namespace ampervale

#endif  // AMPERVALE_STORE_POWER_STORE_H_
