#ifndef AMPERVALE_TOOLS_AMPCTL_REPORTS_H_
#define AMPERVALE_TOOLS_AMPCTL_REPORTS_H_

#include "tools/ampctl/power_tool.h"

// The report commands: they change nothing and print one item only once
// all their work succeeded.
namespace ampervale::Reports {

// The machine's charge-control hardware as a JSON document with sorted
// keys. Needs neither root nor the store; opens its own SMC transport.
void capabilities(const PowerToolContext& context);

// Fails unless the daemon is alive and its last pass met no charging
// failure, and charge support still validates; then prints the mode and
// the stored limit.
void status(Invocation& shared);

// Fails unless the daemon is alive; prints the adapter state read from the
// SMC.
void adapterStatus(Invocation& shared);

}  // namespace ampervale::Reports

#endif  // AMPERVALE_TOOLS_AMPCTL_REPORTS_H_
