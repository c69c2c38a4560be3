#ifndef AMPERVALE_DAEMON_NATIVE_DAEMON_H_
#define AMPERVALE_DAEMON_NATIVE_DAEMON_H_

#include <cstdint>
#include <memory>
#include <optional>

#include "control/power_controller.h"
#include "daemon/daemon_loop.h"
#include "store/power_store.h"

namespace ampervale::NativeDaemon {

// The body of `ampctl daemon`. Takes "daemon.lock" without waiting and holds
// it for the life of the process, then runs a pass every two seconds after
// the previous one ended. Never returns; throws only when the daemon lock
// cannot be taken ("Backend daemon is already running" while another daemon
// holds it).
[[noreturn]] void run(
    NativePowerStore& store, std::shared_ptr<NativePowerController> controller,
    DaemonEnvironment environment = DaemonEnvironment::Process());

// The loop `run` repeats once it holds "daemon.lock": passes over `store`,
// and before each sleep the stored policy read under "policy.lock".
std::unique_ptr<DaemonLoop> MakeLoop(
    NativePowerStore& store, std::shared_ptr<NativePowerController> controller,
    DaemonEnvironment environment);

// One enforcement pass under "policy.lock": brings the adapter, the charge
// limit and the MagSafe LED in line with the stored policy, each area on its
// own, and leaves a heartbeat in "health.json" that says whether the pass
// worked. Throws what it recorded: the load error, or the failed areas'
// "Adapter: ...", "Charging: ...", "MagSafe: ..." entries joined by " | ".
// When the policy lock cannot be taken it throws that and writes nothing.
// After every pass, throws when the runtime directory's path no longer
// leads to the directory the store works in
// (NativePowerStore::checkDirectory), in place of the pass's own failure.
void tick(NativePowerStore& store, NativePowerController& controller,
          std::optional<int64_t> percentage);

}  // namespace ampervale::NativeDaemon

#endif  // AMPERVALE_DAEMON_NATIVE_DAEMON_H_
