// The pieces of a pass on their own: the policy lock, loading the policy,
// the heartbeat, the hardware checks, and the probe a rebuild costs.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "bench/bench_machine.h"

namespace ampervale::bench {

namespace {

void BM_PolicyLock(benchmark::State& state) {
  SteadyDaemon daemon("firmware");
  for (auto _ : state) daemon.store().withPolicyLock([] {});
}
BENCHMARK(BM_PolicyLock)->Unit(benchmark::kMicrosecond);

void BM_LoadPolicyUnderLock(benchmark::State& state) {
  SteadyDaemon daemon("firmware");
  NativePowerStore& store = daemon.store();
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        store.withPolicyLock([&] { return store.loadPolicy(); }));
  }
}
BENCHMARK(BM_LoadPolicyUnderLock)->Unit(benchmark::kMicrosecond);

void BM_SaveHealth(benchmark::State& state) {
  SteadyDaemon daemon("firmware");
  NativePowerStore& store = daemon.store();
  for (auto _ : state) {
    store.saveHealth(NativeDaemonHealth{getpid(), store.now(), std::nullopt});
  }
}
BENCHMARK(BM_SaveHealth)->Unit(benchmark::kMicrosecond);

// The SMC side of a pass alone: what the daemon asks of the controller.
void BM_EnforceHardware(benchmark::State& state, const std::string& profile) {
  SteadyDaemon daemon(profile);
  NativePowerController& controller = daemon.controller();
  const NativePowerPolicy policy = TypicalPolicy();
  for (auto _ : state) {
    controller.setAdapter(*policy.adapterEnabled);
    controller.applyLimit(*policy.upperLimit, kBatteryPercentage);
    controller.setLED(*policy.ledMode);
  }
  ReportSMCTraffic(state, daemon.smc());
}
BENCHMARK_CAPTURE(BM_EnforceHardware, firmware, std::string("firmware"))
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_EnforceHardware, legacy_pair, std::string("legacy-pair"))
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_EnforceHardware, legacy_single,
                  std::string("legacy-single"))
    ->Unit(benchmark::kMicrosecond);

// The ten-key probe of a new controller, which a rebuild after a failed
// pass costs.
void BM_ProbeTenKeys(benchmark::State& state) {
  CountedSMC smc("firmware");
  for (auto _ : state) {
    NativePowerController controller(smc.access());
    benchmark::DoNotOptimize(controller.mode());
  }
  ReportSMCTraffic(state, smc);
}
BENCHMARK(BM_ProbeTenKeys)->Unit(benchmark::kMicrosecond);

// The floor of a pass: lock, a missing policy, the heartbeat.
void BM_PassWithoutPolicy(benchmark::State& state) {
  testing::ScratchDirectory scratch;
  CountedSMC smc("firmware");
  NativePowerStore store(scratch.path() / "run");
  NativePowerController controller(smc.access());
  smc.ResetCounts();
  for (auto _ : state) {
    NativeDaemon::tick(store, controller, kBatteryPercentage);
  }
  ReportSMCTraffic(state, smc);
}
BENCHMARK(BM_PassWithoutPolicy)->Unit(benchmark::kMicrosecond);

}  // namespace

}  // namespace ampervale::bench
