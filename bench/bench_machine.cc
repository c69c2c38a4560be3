#include "bench/bench_machine.h"

#include <malloc.h>

#include <fstream>
#include <utility>

#include "sim/in_process.h"
#include "sim/machine.h"

namespace ampervale::bench {

namespace {

// One "Name:   1234 kB" line of /proc/self/status; 0 when it is missing.
int64_t StatusFieldKiB(const std::string& name) {
  std::ifstream status("/proc/self/status");
  std::string field;
  int64_t value = 0;
  while (status >> field) {
    if (field == name + ":" && status >> value) return value;
  }
  return 0;
}

}  // namespace

NativePowerPolicy TypicalPolicy() {
  NativePowerPolicy policy;
  policy.upperLimit = 80;
  policy.adapterEnabled = true;
  policy.ledMode = "amber";
  policy.restoreChargingRequested = false;
  return policy;
}

CountedSMC::CountedSMC(const std::string& profile)
    : model_(sim::BuiltInMachine(profile).keys) {
  PacketExchange model = sim::InProcessExchange(model_);
  access_ = std::make_shared<NativeSMCTransport>(
      [this, model = std::move(model)](const NativeSMCPacket& request) {
        ++exchanges_;
        if (request.bytes[NativeSMCPacket::kCommandOffset] == kSMCWriteKey) {
          ++writeRequests_;
        }
        return model(request);
      });
}

void CountedSMC::ResetCounts() {
  exchanges_ = 0;
  writeRequests_ = 0;
}

SteadyDaemon::SteadyDaemon(const std::string& profile)
    : smc_(profile),
      store_(scratch_.path() / "run"),
      controller_(smc_.access()) {
  store_.withPolicyLock([&] { store_.savePolicy(TypicalPolicy()); });
  Pass();
  smc_.ResetCounts();
}

void ReportSMCTraffic(benchmark::State& state, const CountedSMC& smc) {
  using benchmark::Counter;
  state.counters["smc_exchanges"] =
      Counter(static_cast<double>(smc.exchanges()), Counter::kAvgIterations);
  state.counters["smc_writes"] = Counter(
      static_cast<double>(smc.writeRequests()), Counter::kAvgIterations);
  if (smc.writeRequests() != 0) {
    state.SkipWithError("a pass at rest wrote to the SMC");
  }
}

MemoryUse ReadMemoryUse() {
  MemoryUse use;
  use.residentKiB = StatusFieldKiB("VmRSS");
  use.peakResidentKiB = StatusFieldKiB("VmHWM");
  use.heapInUseBytes = static_cast<int64_t>(mallinfo2().uordblks);
  return use;
}

}  // namespace ampervale::bench
