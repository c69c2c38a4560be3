#ifndef AMPERVALE_TOOLS_AMPCTL_CONTROL_COMMANDS_H_
#define AMPERVALE_TOOLS_AMPCTL_CONTROL_COMMANDS_H_

#include <cstdint>
#include <optional>
#include <string>

#include "tools/ampctl/power_tool.h"

// The control commands. Except restore, each records the wanted state and
// drives the hardware in one transaction of the store, which needs a live
// daemon and puts the previous policy back when the hardware step fails.
// Each prints "Hardware operation verified" once it succeeded.
namespace ampervale::Commands {

// `limit` is 30 to 100; 100 hands charging back to the system.
void limit(int64_t limit, Invocation& shared);
void disable(Invocation& shared);
// Disabling is refused before anything else unless the battery is known to
// be above 3 %.
void adapter(bool enable, Invocation& shared);
// arguments: "magsafe-led" and one of enable, disable, always-off, green,
// amber.
void magsafeLED(const NativeBackendTool::Arguments& arguments,
                Invocation& shared);
// Undoes the hardware charge control without store, daemon or lock.
void restoreSystemCharging(const PowerToolContext& context);

// The update transaction for the LED: stores `mode` (absent: the LED is no
// longer managed) and, when present, sets the LED to it; `confirm` is the
// transaction's last step (see NativePowerStore::update).
void updateLEDPolicy(NativePowerStore& store,
                     const std::optional<std::string>& mode,
                     NativePowerController& controller,
                     const NativePowerStore::Confirm& confirm = {});

}  // namespace ampervale::Commands

#endif  // AMPERVALE_TOOLS_AMPCTL_CONTROL_COMMANDS_H_
