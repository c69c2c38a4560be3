#include "store/power_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/native_control_error.h"
#include "store/file_descriptor.h"
#include "store/test_support.h"

namespace ampervale {
namespace {

namespace fs = std::filesystem;
using testing::ModeOf;
using testing::ReadFile;
using testing::ThrownText;
using testing::WriteFile;

constexpr const char* kDone = "(nothing thrown)";
constexpr const char* kUnexpected =
    "Backend runtime directory has unexpected ownership or type";
constexpr const char* kPrepare =
    "Charge daemon not running; prepare the helper backends";
constexpr const char* kNotRunning = "Charge daemon not running";
constexpr const char* kApplyFailure = "Waiting for a valid battery percentage";
constexpr const char* kNoFile = "(no file)";
constexpr double kNow = 780000000.0;
constexpr uid_t kOther = 12345;  // a user and group id nobody has
enum class DaemonLock { kAbsent, kUnlocked, kHeld };

class PowerStoreTest : public ::testing::Test {
 protected:
  std::string stored() const {
    const fs::path policy = run_ / "policy.json";
    return fs::exists(policy) ? ReadFile(policy) : kNoFile;
  }

  testing::ScratchDirectory dir_;
  fs::path run_ = dir_.path() / "run";
};

TEST_F(PowerStoreTest, MakesItsDirectoryPrivate) {
  const auto deep = dir_.path() / "Library/Application Support/run";
  const NativePowerStore created(deep);
  EXPECT_EQ(0700, ModeOf(deep));
  EXPECT_EQ(0700, ModeOf(deep.parent_path().parent_path()));
  ASSERT_EQ(0, mkdir(run_.c_str(), 0755));
  const NativePowerStore narrowed(run_);
  EXPECT_EQ(0700, ModeOf(run_));
}

// Nothing is changed in what is refused. Rows with an owner or a group, or
// writable by the group, need root to give the parent away.
TEST_F(PowerStoreTest, RefusesWhatOthersCouldSteer) {
  const fs::path parent = dir_.path() / "parent", target = dir_.path() / "t";
  const std::string unsafe = "Backend runtime directory has an unsafe parent: ";
  static const struct {
    const char* make;  // "dir", "link" or "file"
    mode_t mode;
    uid_t owner, group;
    const char* reason;  // of an unsafe parent; kDone or kUnexpected
  } cases[] = {
      {"dir", 0777, 0, 0, " is writable by other users"},
      {"dir", 01777, 0, 0, kDone},
      {"dir", 0775, 0, kOther, " is writable by group 12345"},
      {"dir", 0775, 0, 0, kDone},
      {"dir", 0755, kOther, 0, " is owned by user 12345"},
      {"link", 0755, 0, 0, " is a symbolic link"},
      {"file", 0644, 0, 0, " is not a directory"},
      {"dir", 0755, 0, 0, kDone},
  };
  ASSERT_EQ(0, mkdir(target.c_str(), 0755));
  for (const auto& c : cases) {
    if ((c.owner || c.group || c.mode & 020) && geteuid() != 0) continue;
    fs::remove_all(parent);
    if (c.make == std::string("link")) symlink(target.c_str(), parent.c_str());
    if (c.make == std::string("file")) WriteFile(parent, "");
    if (c.make == std::string("dir")) mkdir(parent.c_str(), 0700);
    if (geteuid() == 0) lchown(parent.c_str(), c.owner, c.group);
    chmod(parent.c_str(), c.mode);
    const std::string expected =
        c.reason == kDone ? kDone : unsafe + parent.native() + c.reason;
    EXPECT_EQ(expected, ThrownText([&] { NativePowerStore{parent / "run"}; }))
        << c.make << " " << std::oct << c.mode << std::dec << " " << c.owner
        << ":" << c.group;
  }
  EXPECT_EQ(-1, ModeOf(target / "run"));
  // The directory itself: a link to a directory, a file, another's own.
  ASSERT_EQ(0, symlink(target.c_str(), run_.c_str()));
  EXPECT_EQ(kUnexpected, ThrownText([&] { NativePowerStore{run_}; }));
  WriteFile(dir_.path() / "file", "");
  EXPECT_EQ(kUnexpected,
            ThrownText([&] { NativePowerStore{dir_.path() / "file"}; }));
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a directory away";
  ASSERT_EQ(0, chown(target.c_str(), kOther, kOther));
  EXPECT_EQ(kUnexpected, ThrownText([&] { NativePowerStore{target}; }));
  EXPECT_EQ(0755, ModeOf(target));
}

// Once open, the store works in its directory whatever its path comes to
// lead to, and says so when asked.
TEST_F(PowerStoreTest, KeepsToItsDirectoryAndReportsASwap) {
  const NativePowerStore store(run_);
  const auto check = [&] {
    return ThrownText([&] { store.checkDirectory(); });
  };
  EXPECT_EQ(kDone, check());
  const fs::path moved = dir_.path() / "moved";
  fs::rename(run_, moved);
  ASSERT_EQ(0, mkdir(run_.c_str(), 0700));
  EXPECT_EQ("Backend runtime directory was moved or replaced: " + run_.native(),
            check());
  store.withPolicyLock([&] { store.savePolicy({.upperLimit = 50}); });
  EXPECT_EQ(R"({"upperLimit":50})", ReadFile(moved / "policy.json"));
  EXPECT_TRUE(fs::is_empty(run_));
  fs::remove(run_);
  fs::rename(moved, run_);
  chmod(dir_.path().c_str(), 0777);
  EXPECT_EQ("Backend runtime directory has an unsafe parent: " +
                dir_.path().native() + " is writable by other users",
            check());
  chmod(dir_.path().c_str(), 0700);
}

// A second daemon is refused at once; no program the first one runs
// inherits its lock, and the lock is free again once let go.
TEST_F(PowerStoreTest, DaemonLockKeepsASecondDaemonOut) {
  const NativePowerStore store(run_);
  const int lock = store.lockFile("daemon.lock", true);
  EXPECT_EQ(FD_CLOEXEC, fcntl(lock, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(0600, ModeOf(run_ / "daemon.lock"));
  EXPECT_EQ("Backend daemon is already running",
            ThrownText([&] { store.lockFile("daemon.lock", true); }));
  close(lock);
  close(store.lockFile("daemon.lock", true));
}

// The child announces that it is about to take the lock; the parent, still
// holding it, changes the policy, and only then lets go. A child that got
// past the lock early would report the old policy.
TEST_F(PowerStoreTest, PolicyLockOrdersProcesses) {
  const NativePowerStore store(run_);
  const testing::Pipe aboutToLock, result;
  pid_t child = -1;
  store.withPolicyLock([&] {
    store.savePolicy({.upperLimit = 50});
    child = testing::StartChild([&] {
      aboutToLock.send('L');
      result.send(static_cast<char>(store.withPolicyLock(
          [&] { return store.loadPolicy().upperLimit.value_or(0); })));
      return 0;
    });
    ASSERT_EQ('L', aboutToLock.receive());
    store.savePolicy({.upperLimit = 60});
    EXPECT_FALSE(result.hasMessage());
  });
  EXPECT_EQ(60, result.receive());
  EXPECT_EQ(0, testing::WaitForChild(child));
}

enum class Place { kFifo, kLink, kData, kForeign };
enum class Act { kLoad, kSave, kLock, kHealth };

// What may lie in a file's place: a crash's leftover, or what another user
// left while the directory was open to them, held through a descriptor
// they kept. A FIFO is never waited on, a link never followed, a foreign
// lock replaced rather than waited for, a forged daemon not believed.
TEST_F(PowerStoreTest, RefusesOrReplacesWhatLiesInAFilesPlace) {
  const std::string policy = "Cannot read " + (run_ / "policy.json").native();
  const std::string lock = "Backend lock is not a regular file owned by user " +
                           std::to_string(geteuid()) + ": " +
                           (run_ / "policy.lock").native();
  const std::string largest = "{}" + std::string(kMaxRecordFileSize - 2, ' ');
  const struct {
    const char* name;
    Place place;
    Act act;
    std::string data;
    std::string expected;
  } cases[] = {
      {"policy.json", Place::kData, Act::kLoad, largest, kDone},
      {"policy.json", Place::kData, Act::kLoad, largest + " ",
       policy + ": larger than 65536 bytes"},
      {"policy.json", Place::kData, Act::kLoad, R"({"ledMode":7})",
       "Cannot decode " + (run_ / "policy.json").native() +
           ": \"ledMode\" is not a string"},
      {"policy.json", Place::kFifo, Act::kLoad, "",
       policy + ": not a regular file"},
      {"policy.json", Place::kLink, Act::kLoad, "",
       policy + ": Too many levels of symbolic links"},
      {"policy.json", Place::kForeign, Act::kLoad, "{}",
       policy + ": owned by user 12345"},
      {"policy.json.tmp", Place::kLink, Act::kSave, "", kDone},
      {"policy.json.tmp", Place::kData, Act::kSave, "{\"up", kDone},
      {"policy.lock", Place::kFifo, Act::kLock, "", lock},
      {"policy.lock", Place::kLink, Act::kLock, "", "Cannot open backend lock"},
      {"policy.lock", Place::kForeign, Act::kLock, "", kDone},
      {"daemon.lock", Place::kForeign, Act::kHealth, "", kNotRunning},
      {"health.json", Place::kForeign, Act::kHealth,
       EncodeHealth({getpid(), kNow}), kPrepare},
  };
  const NativePowerStore store(run_);
  const fs::path elsewhere = dir_.path() / "elsewhere";
  WriteFile(elsewhere, "keep");
  const auto act = [&](Act action) {
    return ThrownText([&] {
      if (action == Act::kLoad) store.loadPolicy();
      if (action == Act::kSave) store.savePolicy({.upperLimit = 80});
      if (action == Act::kLock) store.withPolicyLock([] {});
      if (action == Act::kHealth) store.health(kNow);
    });
  };
  for (const auto& c : cases) {
    if (c.place == Place::kForeign && geteuid() != 0) continue;
    const fs::path file = run_ / c.name;
    fs::remove(file);
    store.saveHealth({.pid = getpid(), .timestamp = kNow});
    if (c.place == Place::kFifo) mkfifo(file.c_str(), 0600);
    if (c.place == Place::kLink) symlink(elsewhere.c_str(), file.c_str());
    if (c.place != Place::kFifo && c.place != Place::kLink) {
      WriteFile(file, c.data);
    }
    FileDescriptor held(open(file.c_str(), O_RDONLY | O_NONBLOCK));
    if (c.place == Place::kForeign) {
      chown(file.c_str(), kOther, kOther);
      flock(held.get(), LOCK_EX);
    }
    EXPECT_EQ(c.expected, act(c.act)) << c.name << " " << int(c.place);
  }
  EXPECT_EQ(R"({"upperLimit":80})", stored());
  EXPECT_EQ(0600, ModeOf(run_ / "policy.json"));
  EXPECT_EQ(0600, ModeOf(run_ / "policy.lock"));
  EXPECT_EQ("keep", ReadFile(elsewhere));
}

// Alive means a fresh heartbeat from a live process, and "daemon.lock" held:
// here by a second open file of this process, as by the daemon's own.
TEST_F(PowerStoreTest, HealthJudgesTheHeartbeatAndTheDaemonLock) {
  const pid_t self = getpid(), gone = testing::StartChild([] { return 0; });
  ASSERT_EQ(0, testing::WaitForChild(gone));
  const struct {
    int32_t pid;
    DaemonLock lock;
    double age;
    const char* error;
  } cases[] = {
      {self, DaemonLock::kHeld, 9.9, kDone},
      {self, DaemonLock::kHeld, 10.0, kPrepare},
      {self, DaemonLock::kHeld, -0.001, kPrepare},
      {0, DaemonLock::kHeld, 1.0, kPrepare},
      {-1, DaemonLock::kHeld, 1.0, kPrepare},
      {gone, DaemonLock::kHeld, 1.0, kPrepare},
      {self, DaemonLock::kAbsent, 1.0, kNotRunning},
      {self, DaemonLock::kUnlocked, 1.0, kNotRunning},
  };
  const NativePowerStore store(run_);
  for (const auto& c : cases) {
    fs::remove(run_ / "daemon.lock");
    std::optional<HeldLock> held;
    if (c.lock != DaemonLock::kAbsent) {
      held.emplace(store.lockFile("daemon.lock", true));
    }
    if (c.lock == DaemonLock::kUnlocked) held.reset();
    const NativeDaemonHealth heartbeat{c.pid, kNow - c.age, "Adapter: a"};
    store.saveHealth(heartbeat);
    EXPECT_EQ(c.error,
              ThrownText([&] { EXPECT_EQ(heartbeat, store.health(kNow)); }))
        << c.pid << " " << c.age << " " << static_cast<int>(c.lock);
  }
}

size_t OpenDescriptors() {
  const fs::directory_iterator entries("/dev/fd");
  return static_cast<size_t>(std::distance(begin(entries), end(entries)));
}

void Limit80(NativePowerPolicy& p) { p.upperLimit = 80; }
void Limit100(NativePowerPolicy& p) { p.upperLimit = 100; }
void Amber(NativePowerPolicy& p) { p.ledMode = "amber"; }
void Restore(NativePowerPolicy& p) {
  p.upperLimit.reset();
  p.restoreChargingRequested = true;
}

// With a live daemon (its lock held, a heartbeat one second old). Rows
// expecting kApplyFailure have the apply step fail. Every way an update
// ends releases what it opened.
TEST_F(PowerStoreTest, UpdatesStoreApplyAndRollBack) {
  static const struct {
    const char* before;
    void (*mutation)(NativePowerPolicy&);
    const char* error;
    const char* after;
  } cases[] = {
      {R"({"adapterEnabled":true,"ledMode":"amber"})", Limit80, kDone,
       R"({"upperLimit":80,"adapterEnabled":true,"ledMode":"amber"})"},
      // A pending restore is settled once it was applied.
      {R"({"restoreChargingRequested":true})", Amber, kDone,
       R"({"ledMode":"amber","restoreChargingRequested":false})"},
      // A failed apply step leaves the previous policy, or the empty one.
      {kNoFile, Restore, kApplyFailure, "{}"},
      {R"({ "ledMode" : "off", "x" : 1 })", Limit80, kApplyFailure,
       R"({"ledMode":"off"})"},
      // Nothing is written when the new or the old policy is refused.
      {kNoFile, Limit100, "Invalid stored charge limit", kNoFile},
      {R"({"upperLimit":100})", Amber, "Invalid stored charge limit",
       R"({"upperLimit":100})"},
  };
  const NativePowerStore store(run_, [] { return kNow; });
  const HeldLock daemon(store.lockFile("daemon.lock", true));
  store.saveHealth({.pid = getpid(), .timestamp = kNow - 1});
  const size_t descriptors = OpenDescriptors();
  for (const auto& c : cases) {
    fs::remove(run_ / "policy.json");
    if (c.before != kNoFile) WriteFile(run_ / "policy.json", c.before);
    EXPECT_EQ(c.error, ThrownText([&] {
                store.update(c.mutation, [&](const NativePowerPolicy& next) {
                  EXPECT_EQ(EncodePolicy(next), stored()) << c.before;
                  if (c.error == kApplyFailure) {
                    throw NativeControlError(kApplyFailure);
                  }
                });
              }))
        << c.before;
    EXPECT_EQ(c.after, stored()) << c.before;
  }
  store.saveHealth({.pid = getpid(), .timestamp = kNow - 10});
  EXPECT_EQ(kPrepare, ThrownText([&] { store.update(Limit80, nullptr); }));
  EXPECT_EQ(R"({"upperLimit":100})", stored());
  EXPECT_EQ(descriptors, OpenDescriptors());
}

// Forwards to the system and records each step, failing the one named
// `failing` with EIO instead of making it.
class RecordingFileSystem final : public FileSystem {
 public:
  int createExclusive(int directory, const char* name, mode_t mode) override {
    return step("create") ? real_.createExclusive(directory, name, mode) : -1;
  }
  ssize_t write(int descriptor, const char* data, size_t size) override {
    return step("write") ? real_.write(descriptor, data, size) : -1;
  }
  bool syncData(int descriptor) override {
    return step("sync") && real_.syncData(descriptor);
  }
  int close(int descriptor) override {
    const int result = real_.close(descriptor);
    return step("close") ? result : -1;
  }
  int rename(int directory, const char* from, const char* to) override {
    return step("rename") ? real_.rename(directory, from, to) : -1;
  }
  bool syncDirectory(int directory) override {
    return step("syncdir") && real_.syncDirectory(directory);
  }

  std::string steps;
  std::string failing;

 private:
  bool step(const std::string& name) {
    steps += steps.empty() ? name : " " + name;
    if (name != failing) return true;
    errno = EIO;
    return false;
  }
  FileSystem& real_ = SystemFileSystem();
};

// The policy reaches the disk before the rename and the rename before a
// save returns; a heartbeat is not flushed. A failed step leaves the old
// policy and no temporary, except a failed flush of the renamed entry.
TEST_F(PowerStoreTest, SavesInDurableSteps) {
  const std::string tmp = (run_ / "policy.json.tmp").native() + ": ";
  const std::string eio = "Input/output error";
  const char *kOld = R"({"upperLimit":50})", *kNew = R"({"upperLimit":60})";
  const struct {
    const char* failing;
    std::string error;
    const char* after;
    const char* steps;
  } cases[] = {
      {"", kDone, kNew, "create write sync close rename syncdir"},
      {"create", "Cannot create " + tmp + eio, kOld, "create"},
      {"sync", "Cannot flush " + tmp + eio, kOld, "create write sync close"},
      {"close", "Cannot write " + tmp + eio, kOld, "create write sync close"},
      {"rename", "Cannot replace " + run_.native() + "/policy.json: " + eio,
       kOld, "create write sync close rename"},
      {"syncdir", "Cannot flush " + run_.native() + ": " + eio, kNew,
       "create write sync close rename syncdir"},
  };
  RecordingFileSystem files;
  const NativePowerStore store(run_, NowSinceReferenceDate, files);
  for (const auto& c : cases) {
    files.failing.clear();
    store.savePolicy({.upperLimit = 50});
    files.steps.clear();
    files.failing = c.failing;
    EXPECT_EQ(c.error,
              ThrownText([&] { store.savePolicy({.upperLimit = 60}); }))
        << c.failing;
    EXPECT_EQ(c.steps, files.steps) << c.failing;
    EXPECT_EQ(c.after, stored()) << c.failing;
    EXPECT_FALSE(fs::exists(run_ / "policy.json.tmp")) << c.failing;
  }
  files.steps.clear();
  files.failing.clear();
  store.saveHealth({.pid = 1, .timestamp = kNow});
  EXPECT_EQ("create write close rename", files.steps);
  EXPECT_EQ(0600, ModeOf(run_ / "health.json"));
}

}  // namespace
}  // namespace ampervale
