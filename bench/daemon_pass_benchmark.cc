// One enforcement pass of the daemon at rest, per machine profile, and its
// memory over many passes.

#include <benchmark/benchmark.h>

#include <exception>
#include <string>

#include "bench/bench_machine.h"

namespace ampervale::bench {

namespace {

// Passes before the memory is first read, so that buffers which reach their
// final size in the first passes do not count as growth.
constexpr int kWarmUpPasses = 1000;

// True when every pass worked; otherwise the run is marked failed with the
// pass's error.
bool RunPasses(benchmark::State& state, SteadyDaemon& daemon) {
  for (auto _ : state) {
    try {
      daemon.Pass();
    } catch (const std::exception& error) {
      state.SkipWithError(error.what());
      return false;
    }
  }
  return true;
}

void BM_SteadyPass(benchmark::State& state, const std::string& profile) {
  SteadyDaemon daemon(profile);
  if (RunPasses(state, daemon)) ReportSMCTraffic(state, daemon.smc());
}
BENCHMARK_CAPTURE(BM_SteadyPass, firmware, std::string("firmware"))
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SteadyPass, legacy_pair, std::string("legacy-pair"))
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SteadyPass, legacy_single, std::string("legacy-single"))
    ->Unit(benchmark::kMicrosecond);

void SetCounter(benchmark::State& state, const char* name, int64_t value) {
  state.counters[name] = static_cast<double>(value);
}

// Thousands of firmware passes; the counters say how much resident memory
// and allocated heap the passes after the warm-up added.
void BM_MemoryOverPasses(benchmark::State& state) {
  SteadyDaemon daemon("firmware");
  for (int pass = 0; pass < kWarmUpPasses; ++pass) daemon.Pass();
  const MemoryUse before = ReadMemoryUse();
  if (!RunPasses(state, daemon)) return;
  const MemoryUse after = ReadMemoryUse();
  SetCounter(state, "rss_KiB", after.residentKiB);
  SetCounter(state, "rss_growth_KiB", after.residentKiB - before.residentKiB);
  SetCounter(state, "hwm_KiB", after.peakResidentKiB);
  SetCounter(state, "heap_growth_B",
             after.heapInUseBytes - before.heapInUseBytes);
}
BENCHMARK(BM_MemoryOverPasses)
    ->Iterations(10000)
    ->Repetitions(1)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

}  // namespace ampervale::bench
