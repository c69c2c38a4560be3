#ifndef AMPERVALE_BENCH_BENCH_MACHINE_H_
#define AMPERVALE_BENCH_BENCH_MACHINE_H_

#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "control/power_controller.h"
#include "daemon/native_daemon.h"
#include "sim/smc_model.h"
#include "smc/smc_transport.h"
#include "store/power_store.h"
#include "store/test_support.h"

namespace ampervale::bench {

// The battery level every pass is given: below the typical limit, so the
// legacy modes keep charging allowed and their keys stay as they are.
inline constexpr int64_t kBatteryPercentage = 50;

// A limit of 80 %, the adapter enabled and the LED amber: every area of the
// pass has work to check.
NativePowerPolicy TypicalPolicy();

// A built-in machine profile's simulated SMC behind the real transport,
// counting the exchanges and the write requests that reach it. Neither
// copyable nor movable: the transport refers to it.
class CountedSMC {
 public:
  explicit CountedSMC(const std::string& profile);
  CountedSMC(const CountedSMC&) = delete;
  CountedSMC& operator=(const CountedSMC&) = delete;

  const std::shared_ptr<NativeSMCAccess>& access() const { return access_; }
  int64_t exchanges() const { return exchanges_; }
  int64_t writeRequests() const { return writeRequests_; }
  void ResetCounts();

 private:
  sim::SMCModel model_;
  int64_t exchanges_ = 0;
  int64_t writeRequests_ = 0;
  std::shared_ptr<NativeSMCAccess> access_;
};

// A daemon at rest: TypicalPolicy stored in a scratch runtime directory and
// already enforced on the machine by one pass, with the counts reset after
// it. Throws what that first pass throws.
class SteadyDaemon {
 public:
  explicit SteadyDaemon(const std::string& profile);

  void Pass() { NativeDaemon::tick(store_, controller_, kBatteryPercentage); }

  CountedSMC& smc() { return smc_; }
  NativePowerStore& store() { return store_; }
  NativePowerController& controller() { return controller_; }

 private:
  testing::ScratchDirectory scratch_;
  CountedSMC smc_;
  NativePowerStore store_;
  NativePowerController controller_;
};

// Exchanges and write requests per iteration as counters. A steady state
// must not write, so any write request marks the run as failed.
void ReportSMCTraffic(benchmark::State& state, const CountedSMC& smc);

// This process's memory: VmRSS and VmHWM from /proc/self/status (0 when
// absent) and the bytes the allocator has handed out and not taken back.
struct MemoryUse {
  int64_t residentKiB = 0;
  int64_t peakResidentKiB = 0;
  int64_t heapInUseBytes = 0;
};
MemoryUse ReadMemoryUse();

}  // namespace ampervale::bench

#endif  // AMPERVALE_BENCH_BENCH_MACHINE_H_
