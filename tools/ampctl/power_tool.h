#ifndef AMPERVALE_TOOLS_AMPCTL_POWER_TOOL_H_
#define AMPERVALE_TOOLS_AMPCTL_POWER_TOOL_H_

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/backend_tool.h"
#include "control/power_controller.h"
#include "smc/smc_transport.h"
#include "store/power_store.h"

namespace ampervale {

// What ampctl takes from its process and its machine. Process() gives the
// real ones; tests replace single members.
struct PowerToolContext {
  std::ostream* out;
  uid_t effectiveUID;
  // The path the process was started by, for install.
  std::string executablePath;
  std::filesystem::path storeDirectory;
  std::filesystem::path jobPath;
  std::function<std::shared_ptr<NativeSMCAccess>()> openSMC;
  std::function<std::optional<int64_t>()> batteryPercentage;
  std::function<std::string()> operatingSystemVersion;
  std::function<void(NativePowerStore&, std::shared_ptr<NativePowerController>)>
      runDaemon;

  static PowerToolContext Process(std::string executablePath);
};

// The objects one command shares: created in this order (store, SMC
// transport, controller) once the command needs the hardware.
struct Invocation {
  const PowerToolContext& context;
  NativePowerStore store;
  std::shared_ptr<NativePowerController> controller;
};

namespace NativeBackendTool {

// ampctl's dispatcher: strips the ignored value options, answers help,
// version and capabilities for anyone, refuses other users than root, then
// runs the one command the arguments name. Every failure is thrown, and a
// failed command prints nothing on `context.out`.
void runPowerTool(Arguments arguments, const PowerToolContext& context);

// Every argument list that runs a command, help aside, as the dispatcher
// matches it; a limit's percentage appears as "PERCENT".
std::vector<Arguments> commandWordLists();

}  // namespace NativeBackendTool
}  // namespace ampervale

#endif  // AMPERVALE_TOOLS_AMPCTL_POWER_TOOL_H_
