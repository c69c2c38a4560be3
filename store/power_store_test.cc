#include "store/power_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/native_control_error.h"
#include "store/checked_path.h"
#include "store/file_descriptor.h"
#include "store/test_support.h"

namespace ampervale {
namespace {

namespace fs = std::filesystem;
using testing::ModeOf, testing::ReadFile, testing::ThrownText,
    testing::WriteFile;

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

class PowerStoreTest : public ::testing::Test {
 protected:
  std::string stored() const {
    const fs::path policy = run_ / "policy.json";
    return fs::exists(policy) ? ReadFile(policy) : kNoFile;
  }

  testing::ScratchDirectory dir_;
  fs::path run_ = dir_.path() / "run";
};

// Made private, parents included. A row with kUnexpected opens what was
// made as the directory itself, the others a directory in it; nothing is
// changed in what is refused. Rows with an owner or a group, or writable by
// the group, need root to give what was made away.
TEST_F(PowerStoreTest, MakesItsDirectoryPrivateWhereNoOneElseCanSteerIt) {
  const auto deep = dir_.path() / "Library/Application Support/run";
  const NativePowerStore created(deep);
  EXPECT_EQ(0700, ModeOf(deep));
  EXPECT_EQ(0700, ModeOf(deep.parent_path().parent_path()));
  ASSERT_EQ(0, mkdir(run_.c_str(), 0755));
  const NativePowerStore narrowed(run_);
  EXPECT_EQ(0700, ModeOf(run_));
  const fs::path made = dir_.path() / "made", target = dir_.path() / "t";
  const std::string unsafe = "Backend runtime directory has an unsafe parent: ";
  static const struct {
    const char* make;  // "dir", "link" or "file"
    int mode;
    uid_t owner, group;
    const char* reason;  // after an unsafe parent's path; kDone; kUnexpected
  } cases[] = {
      {"dir", 0777, 0, 0, " is writable by other users"},
      {"dir", 0775, 0, kOther, " is writable by group 12345"},
      {"dir", 0775, 0, 0, kDone},
      {"dir", 0755, kOther, 0, " is owned by user 12345"},
      {"link", 0755, 0, 0, " is a symbolic link"},
      {"file", 0644, 0, 0, " is not a directory"},
      {"file", 01777, 0, 0, " is not a directory"},
      {"dir", 0755, kOther, kOther, kUnexpected},
      {"link", 0755, 0, 0, kUnexpected},
      {"file", 0644, 0, 0, kUnexpected},
  };
  ASSERT_EQ(0, mkdir(target.c_str(), 0755));
  for (const auto& c : cases) {
    if ((c.owner || c.group || c.mode & 020) && geteuid() != 0) continue;
    fs::remove_all(made);
    if (c.make == std::string("link")) symlink(target.c_str(), made.c_str());
    if (c.make == std::string("file")) WriteFile(made, "");
    if (c.make == std::string("dir")) mkdir(made.c_str(), 0700);
    if (geteuid() == 0) lchown(made.c_str(), c.owner, c.group);
    chmod(made.c_str(), c.mode);
    SCOPED_TRACE(std::string(c.make) + c.reason);
    struct stat status {};
    if (c.make == std::string("file") && lstat(made.c_str(), &status) == 0) {
      // A sticky bit excuses a folder that others may write, never a file.
      EXPECT_EQ(c.mode & 02 ? "is writable by other users" : "",
                UnsafeReason(status, made, EntryKind::kFile));
    }
    const fs::path opened = c.reason == kUnexpected ? made : made / "run";
    const std::string expected =
        c.reason[0] == ' ' ? unsafe + made.native() + c.reason : c.reason;
    EXPECT_EQ(expected, ThrownText([&] { NativePowerStore{opened}; }));
    EXPECT_TRUE(c.make != std::string("dir") || c.mode == ModeOf(made));
  }
  EXPECT_EQ(-1, ModeOf(target / "run"));
  // An open store checks its parents again when asked.
  chmod(dir_.path().c_str(), 0777);
  EXPECT_EQ(unsafe + dir_.path().native() + " is writable by other users",
            ThrownText([&] { narrowed.checkDirectory(); }));
  chmod(dir_.path().c_str(), 0700);
}

// A link on the way is walked as the kernel walks it: an absolute target
// from the root, a relative one from the link's folder.
TEST_F(PowerStoreTest, WalksOwnLinksAsTheKernelDoes) {
  symlink(dir_.path().c_str(), (dir_.path() / "absolute").c_str());
  symlink(".", (dir_.path() / "relative").c_str());
  const WalkRule rule{.refusal = "", .followOwnLinks = true};
  EXPECT_EQ(dir_.path(),
            WalkToParent(dir_.path() / "absolute/relative/x", rule).path);
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

enum class Place { kNone, kFifo, kLink, kData, kForeign };

// What may lie in a file's place: a crash's leftover, or what another user
// left while the directory was open to them, held through a descriptor
// they kept. A FIFO is never waited on, a link never followed, a foreign
// lock replaced rather than waited for, a forged daemon not believed, nor
// one whose "daemon.lock" is missing or free. Each file is used as the store
// uses it.
TEST_F(PowerStoreTest, RefusesOrReplacesWhatLiesInAFilesPlace) {
  using enum Place;
  const std::string path = (run_ / "policy.json").native();
  const std::string read = "Cannot read " + path;
  const std::string lock = "Backend lock is not a regular file owned by user " +
                           std::to_string(geteuid()) + ": " +
                           (run_ / "policy.lock").native();
  const std::string largest = "{}" + std::string(kMaxRecordFileSize - 2, ' ');
  const struct {
    std::string name;
    Place place;
    std::string data;
    std::string expected;
  } cases[] = {
      {"policy.json", kData, largest, kDone},
      {"policy.json", kData, largest + " ", read + ": larger than 65536 bytes"},
      {"policy.json", kData, R"({"ledMode":7})",
       "Cannot decode " + path + ": \"ledMode\" is not a string"},
      {"policy.json", kFifo, "", read + ": not a regular file"},
      {"policy.json", kLink, "", read + ": Too many levels of symbolic links"},
      {"policy.json", kForeign, "{}", read + ": owned by user 12345"},
      {"policy.json.tmp", kLink, "", kDone},
      {"policy.json.tmp", kData, "{\"up", kDone},
      {"policy.lock", kFifo, "", lock},
      {"policy.lock", kForeign, "", kDone},
      {"daemon.lock", kNone, "", kNotRunning},
      {"daemon.lock", kData, "", kNotRunning},
      {"daemon.lock", kForeign, "", kNotRunning},
      {"health.json", kForeign, EncodeHealth({getpid(), kNow}), kPrepare},
  };
  const NativePowerStore store(run_);
  const fs::path elsewhere = dir_.path() / "elsewhere";
  WriteFile(elsewhere, "keep");
  const auto use = [&](const std::string& name) {
    if (name == "policy.json") store.loadPolicy();
    if (name == "policy.json.tmp") store.savePolicy({.upperLimit = 80});
    if (name == "policy.lock") store.withPolicyLock([] {});
    if (name == "daemon.lock" || name == "health.json") store.health(kNow);
  };
  for (const auto& c : cases) {
    if (c.place == kForeign && geteuid() != 0) continue;
    const fs::path file = run_ / c.name;
    fs::remove(file);
    store.saveHealth({.pid = getpid(), .timestamp = kNow});
    if (c.place == kFifo) mkfifo(file.c_str(), 0600);
    if (c.place == kLink) symlink(elsewhere.c_str(), file.c_str());
    if (c.place == kData || c.place == kForeign) WriteFile(file, c.data);
    FileDescriptor held(open(file.c_str(), O_RDONLY | O_NONBLOCK));
    if (c.place == kForeign) {
      chown(file.c_str(), kOther, kOther);
      flock(held.get(), LOCK_EX);
    }
    EXPECT_EQ(c.expected, ThrownText([&] { use(c.name); }))
        << c.name << " " << int(c.place);
  }
  EXPECT_EQ(R"({"upperLimit":80})", stored());
  EXPECT_EQ(0600, ModeOf(run_ / "policy.json"));
  EXPECT_EQ("keep", ReadFile(elsewhere));
}

// A second daemon is refused at once, and no program the first one runs
// inherits its lock. Alive means a fresh heartbeat from a live process, and
// "daemon.lock" held: here by a second open file of this process, as by the
// daemon's own.
TEST_F(PowerStoreTest, HealthJudgesTheHeartbeatAndTheDaemonLock) {
  const NativePowerStore store(run_);
  const int lock = store.lockFile("daemon.lock", true);
  const HeldLock daemon(lock);
  EXPECT_EQ(FD_CLOEXEC, fcntl(lock, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(0600, ModeOf(run_ / "daemon.lock"));
  EXPECT_EQ("Backend daemon is already running",
            ThrownText([&] { store.lockFile("daemon.lock", true); }));
  const pid_t self = getpid(), gone = testing::StartChild([] { return 0; });
  ASSERT_EQ(0, testing::WaitForChild(gone));
  const struct {
    int32_t pid;
    double age;
    const char* error;
  } cases[] = {
      {self, 9.9, kDone}, {self, 10.0, kPrepare}, {self, -0.001, kPrepare},
      {0, 1.0, kPrepare}, {-1, 1.0, kPrepare},    {gone, 1.0, kPrepare},
  };
  for (const auto& c : cases) {
    const NativeDaemonHealth heartbeat{c.pid, kNow - c.age, "Adapter: a"};
    store.saveHealth(heartbeat);
    EXPECT_EQ(c.error,
              ThrownText([&] { EXPECT_EQ(heartbeat, store.health(kNow)); }))
        << c.pid << " " << c.age;
  }
}

void Limit80(NativePowerPolicy& p) { p.upperLimit = 80; }
void Limit100(NativePowerPolicy& p) { p.upperLimit = 100; }
void Amber(NativePowerPolicy& p) { p.ledMode = "amber"; }

// Forwards to the system and records each step, failing with EIO instead
// of making it the next one named first in `failing` ("syncdir rename":
// the first directory flush, then the rename after it), or with EINTR when
// `failing` ends in "EINTR".
class RecordingFileSystem final : public FileSystem {
 public:
  int createExclusive(int directory, const char* name, mode_t mode) override {
    return step("create") ? real_.createExclusive(directory, name, mode) : -1;
  }
  // "N bytes" writes at most N (a digit) at a time: 3 as a signal may make
  // it, 0 as a device that makes no progress.
  ssize_t write(int descriptor, const char* data, size_t n) override {
    if (failing.ends_with(" bytes")) n = std::min<size_t>(n, failing[0] - '0');
    return step("write") ? real_.write(descriptor, data, n) : -1;
  }
  bool syncData(int fd) override { return step("sync") && real_.syncData(fd); }
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

  // Whether `name` is the next to fail; it then leaves `failing`.
  bool fails(const std::string& name) {
    if (failing.substr(0, failing.find(' ')) != name) return false;
    failing.erase(0, name.size() + 1);
    return true;
  }

  std::string steps, failing;

 private:
  bool step(const std::string& name) {
    steps += steps.empty() ? name : " " + name;
    errno = failing.ends_with("EINTR") ? EINTR : EIO;
    return !fails(name);
  }
  FileSystem& real_ = SystemFileSystem();
};

// With a live daemon (its lock held, a heartbeat one second old), the step
// named `failing` fails. The policy reaches the disk before the rename and
// the rename before apply; a heartbeat is not flushed. A failed step leaves
// the old bytes (none, or "{}" once a new file was renamed in) and no
// temporary. Every way an update ends releases what it opened.
TEST_F(PowerStoreTest, UpdatesInDurableStepsAndRollsBack) {
  const std::string tmp = (run_ / "policy.json.tmp").native() + ": ";
  const std::string eio = "Input/output error";
  const std::string save = "create write sync close rename syncdir";
  const char *kOld = R"({"upperLimit":50})", *kNew = R"({"upperLimit":80})";
  const std::string flushRun = "Cannot flush " + run_.native() + ": " + eio,
                    kStays = "; the new policy stays stored";
  const struct {
    const char* before;
    void (*mutation)(NativePowerPolicy&);
    const char* failing;
    std::string error;
    const char* after;
    std::string steps;
  } cases[] = {
      // A pending restore is settled once it was applied.
      {R"({"restoreChargingRequested":true})", Amber, "", kDone,
       R"({"ledMode":"amber","restoreChargingRequested":false})",
       save + " " + save},
      // A failed apply step puts the previous bytes back.
      {R"({ "ledMode" : "off", "x" : 1 })", Limit80, "apply", kApplyFailure,
       R"({ "ledMode" : "off", "x" : 1 })", save + " " + save},
      // A confirmation that never reached its reader is a failure too.
      {kOld, Limit80, "confirm", kApplyFailure, kOld, save + " " + save},
      // Nothing is written when the new policy is refused.
      {kNoFile, Limit100, "", "Invalid stored charge limit", kNoFile, ""},
      {kOld, Limit80, "sync", "Cannot flush " + tmp + eio, kOld,
       "create write sync close"},
      // A failed close can be the first report of a lost write.
      {kOld, Limit80, "close", "Cannot write " + tmp + eio, kOld,
       "create write sync close"},
      {kNoFile, Limit80, "rename",
       "Cannot replace " + run_.native() + "/policy.json: " + eio, kNoFile,
       "create write sync close rename"},
      // The previous bytes come back even when the rename got through, and
      // even when their own flush fails.
      {R"({ "upperLimit" : 50 })", Limit80, "syncdir syncdir", flushRun,
       R"({ "upperLimit" : 50 })", save + " " + save},
      {kNoFile, Limit80, "syncdir", flushRun, "{}", save + " " + save},
      // A rollback that could not put them back says so.
      {kOld, Limit80, "syncdir sync", flushRun + kStays, kNew,
       save + " create write sync close"},
      {kOld, Limit80, "syncdir rename", flushRun + kStays, kNew,
       save + " create write sync close rename"},
      {kOld, Limit80, "apply write", kApplyFailure + kStays, kNew,
       save + " create write close"},
      {kOld, Limit80, "3 bytes", kDone, kNew,
       "create write write write write write write sync close rename syncdir"},
      // A write interrupted by a signal is made again.
      {kOld, Limit80, "write EINTR", kDone, kNew,
       "create write write sync close rename syncdir"},
      {kOld, Limit80, "0 bytes", "Cannot write " + tmp + eio, kOld,
       "create write close"},
  };
  RecordingFileSystem files;
  const NativePowerStore store(
      run_, [] { return kNow; }, files);
  const HeldLock daemon(store.lockFile("daemon.lock", true));
  store.saveHealth({.pid = getpid(), .timestamp = kNow - 1});
  EXPECT_EQ("create write close rename", files.steps);
  const auto apply = [&](const NativePowerPolicy& next) {
    EXPECT_EQ(EncodePolicy(next), stored());
    if (files.fails("apply")) throw NativeControlError(kApplyFailure);
  };
  const auto descriptors = std::distance(fs::directory_iterator("/dev/fd"), {});
  for (const auto& c : cases) {
    fs::remove(run_ / "policy.json");
    if (c.before != kNoFile) WriteFile(run_ / "policy.json", c.before);
    files.steps.clear();
    files.failing = c.failing;
    const auto confirm = [&] {
      if (files.fails("confirm")) throw NativeControlError(kApplyFailure);
    };
    EXPECT_EQ(c.error,
              ThrownText([&] { store.update(c.mutation, apply, confirm); }))
        << c.before << " " << c.failing;
    EXPECT_EQ(c.steps, files.steps) << c.before << " " << c.failing;
    EXPECT_EQ(c.after, stored()) << c.before << " " << c.failing;
    EXPECT_FALSE(fs::exists(run_ / "policy.json.tmp")) << c.failing;
  }
  EXPECT_EQ(descriptors, std::distance(fs::directory_iterator("/dev/fd"), {}));
}

}  // namespace
}  // namespace ampervale
