// ampctl and ampkey in process against a simulated SMC. The first byte picks
// the program: even for ampctl, odd for ampkey.
//
// ampctl runs in a scratch runtime directory beside a daemon. The next byte
// picks the user, the machine, the stored policy, the battery and whether the
// daemon's heartbeat is fresh; the one after it one SMC fault. A failed
// command prints no result and leaves the stored policy as it was.
//
// ampkey: the next byte picks the user and the machine. The only writes that
// reach the SMC are root's documented ACLC values.
//
// The rest, split at line feeds, are the arguments; every run ends with
// status 0, or 1 and one line of error.

#include <unistd.h>

#include <array>

#include "sim/in_process.h"
#include "store/test_support.h"
#include "tests/fuzz/fuzz_support.h"
#include "tools/ampctl/power_tool.h"
#include "tools/ampkey/smc_tool.h"

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

void FuzzPowerTool(const uint8_t* data, size_t size) {
  static fuzz::MemoryDirectory scratch;
  static const NativePowerStore store(scratch.path / "run");
  static const int daemonLock = store.lockFile("daemon.lock", true);
  if (size < 2 || daemonLock < 0) return;
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
}

void FuzzSMCTool(const uint8_t* data, size_t size) {
  sim::SMCModel model(fuzz::BuiltInKeys(data[0]));
  const uid_t uid = (data[0] & 0x80) != 0 ? 1000 : 0;
  std::ostringstream out;
  const SMCToolContext context{out, uid, [&] {
                                 return std::make_shared<NativeSMCTransport>(
                                     sim::InProcessExchange(model));
                               }};
  fuzz::RunTool(data + 1, size - 1, [&](const auto& arguments) {
    NativeBackendTool::runSMCTool(arguments, context);
  });
  const std::string_view documented("\x00\x01\x03\x04\x06\x07\x25", 7);
  for (const sim::SMCWrite& write : model.writes()) {
    fuzz::Require(uid == 0 && write.key == "ACLC" && write.bytes.size() == 1 &&
                      documented.find(static_cast<char>(write.bytes[0])) !=
                          documented.npos,
                  "an SMC write that ampkey must refuse");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static constexpr void (*kTools[])(const uint8_t*, size_t) = {FuzzPowerTool,
                                                               FuzzSMCTool};
  if (size >= 2) kTools[data[0] & 1](data + 1, size - 1);
  return 0;
}
