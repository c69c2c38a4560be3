// ampctl's dispatcher in process, against a simulated SMC and a scratch
// runtime directory beside a daemon. The first byte picks the user, the
// machine, the stored policy, the battery and whether the daemon's heartbeat
// is fresh; the second one SMC fault; the rest, split at line feeds, are the
// arguments. Every command ends with status 0, or 1 and one line of error;
// a failed one prints no result and leaves the stored policy as it was.

#include <unistd.h>

#include <array>

#include "sim/in_process.h"
#include "store/test_support.h"
#include "tests/fuzz/fuzz_support.h"
#include "tools/ampctl/power_tool.h"

using namespace ampervale;

namespace {

const std::array<std::string, 3> kStoredPolicies = {
    "", "{}", R"({"upperLimit":60,"adapterEnabled":false,"ledMode":"amber"})"};
const std::optional<int64_t> kBatteries[] = {std::nullopt, 3, 50, 100};
sim::SMCModel Machine(uint8_t choice, uint8_t faultChoice) {
  sim::SMCModel model(fuzz::BuiltInKeys(choice));
  const auto kind = static_cast<sim::FaultKind>(faultChoice % 8);
  const auto key = std::next(model.keys().begin(),
                             (faultChoice / 8) % std::ssize(model.keys()));
  // The first six kinds, up to kDisconnect, are the SMC's own faults.
  if (kind <= sim::FaultKind::kDisconnect) {
    model.faults().Add(
        {.kind = kind, .key = key->first, .result = 133, .width = 2});
  }
  return model;
}

// "policy.json" as it stands; a missing one means the empty policy.
std::string StoredPolicy(const std::filesystem::path& file) {
  return std::filesystem::exists(file) ? testing::ReadFile(file) : "{}";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::MemoryDirectory scratch;
  static const NativePowerStore store(scratch.path / "run");
  static const int daemonLock = store.lockFile("daemon.lock", true);
  if (size < 2 || daemonLock < 0) return 0;
  // A stale heartbeat: the daemon is not running.
  store.saveHealth(
      {getpid(), (data[0] & 0x40) != 0 ? 0.0 : NowSinceReferenceDate(), {}});
  const std::filesystem::path policyFile = store.directory() / "policy.json";
  const std::string& stored = kStoredPolicies[(data[0] >> 2) % 3];
  std::filesystem::remove(policyFile);
  if (!stored.empty()) testing::WriteFile(policyFile, stored);
  const std::string before = StoredPolicy(policyFile);

  sim::SMCModel model = Machine(data[0], data[1]);
  std::ostringstream out;
  const PowerToolContext context{
      &out,
      (data[0] & 0x80) != 0 ? 1000u : 0u,
      "/somewhere/ampctl",
      store.directory(),
      scratch.path / "job.plist",
      [&] {
        return std::make_shared<NativeSMCTransport>(
            sim::InProcessExchange(model));
      },
      [&] { return kBatteries[(data[0] >> 4) % 4]; },
      [] { return std::string("Test OS 1.0"); },
      [](NativePowerStore&, const std::shared_ptr<NativePowerController>&) {}};
  const int status = fuzz::RunTool(data + 2, size - 2, [&](const auto& a) {
    NativeBackendTool::runPowerTool(a, context);
  });
  fuzz::Require(
      status == 0 || (out.str().empty() && StoredPolicy(policyFile) == before),
      "a failed command printed a result or changed the policy");
  return 0;
}
