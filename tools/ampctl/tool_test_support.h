#ifndef AMPERVALE_TOOLS_AMPCTL_TOOL_TEST_SUPPORT_H_
#define AMPERVALE_TOOLS_AMPCTL_TOOL_TEST_SUPPORT_H_

// ampctl in process: a scratch runtime directory, an in-memory SMC and a
// daemon that is "alive" because the test holds its lock and heartbeat.

#include <sys/file.h>
#include <unistd.h>

#include <sstream>

#include "common/native_control_error.h"
#include "control/fake_smc_access.h"
#include "store/test_support.h"
#include "tools/ampctl/power_tool.h"

namespace ampervale::testing {

// The words of `text`, split at spaces.
inline NativeBackendTool::Arguments Words(const std::string& text) {
  std::istringstream words(text);
  NativeBackendTool::Arguments arguments;
  for (std::string word; words >> word;) arguments.push_back(word);
  return arguments;
}

struct ToolHarness {
  ScratchDirectory scratch;
  std::shared_ptr<FakeSMCAccess> smc = std::make_shared<FakeSMCAccess>(
      FakeMachineKeys(NativePowerController::Mode::firmware));
  std::optional<int64_t> battery = 50;
  bool smcOpens = true;
  int daemonRuns = 0;
  std::ostringstream out;
  int daemonLock = -1;

  ~ToolHarness() {
    if (daemonLock >= 0) close(daemonLock);
  }

  std::filesystem::path runtime() const { return scratch.path() / "run"; }
  std::filesystem::path policyFile() const { return runtime() / "policy.json"; }

  PowerToolContext Context(uid_t uid) {
    return PowerToolContext{
        &out,
        uid,
        "/somewhere/ampctl",
        runtime(),
        scratch.path() / "chargelimitd.plist",
        [this]() -> std::shared_ptr<NativeSMCAccess> {
          if (smcOpens) return smc;
          throw NativeControlError("AppleSMC is unavailable on this Mac");
        },
        [this] { return battery; },
        [] { return std::string("Test OS 1.0"); },
        [this](NativePowerStore&, std::shared_ptr<NativePowerController>) {
          ++daemonRuns;
        }};
  }

  // The command's failure text, "" when it succeeded.
  std::string Run(const NativeBackendTool::Arguments& arguments,
                  uid_t uid = 0) {
    return ControlErrorOf(
        [&] { NativeBackendTool::runPowerTool(arguments, Context(uid)); });
  }

  // A live daemon: its lock held and a fresh heartbeat with `error`.
  void StartDaemon(std::optional<std::string> error = std::nullopt) {
    NativePowerStore store(runtime());
    if (daemonLock < 0) daemonLock = store.lockFile("daemon.lock", true);
    store.saveHealth(NativeDaemonHealth{static_cast<int32_t>(getpid()),
                                        NowSinceReferenceDate(), error});
  }

  // Gives `keys` (KeysFromText) their bytes and makes writes of the keys
  // in `broken` fail with "KEY refused".
  void Arrange(std::string_view keys, const std::string& broken = "") {
    for (auto& [key, bytes] : KeysFromText(keys)) smc->set(key, bytes);
    for (const auto& key : Words(broken)) smc->failWrite(key, key + " refused");
    smc->clearLog();
  }

  // Writes "policy.json" as it stands, preparing the directory first.
  void StorePolicy(const std::string& json) {
    NativePowerStore store(runtime());
    WriteFile(policyFile(), json);
  }

  std::string StoredPolicy() const {
    return std::filesystem::exists(policyFile()) ? ReadFile(policyFile())
                                                 : "(none)";
  }
};

}  // namespace ampervale::testing

#endif  // AMPERVALE_TOOLS_AMPCTL_TOOL_TEST_SUPPORT_H_
