#ifndef AMPERVALE_TOOLS_AMPKEY_SMC_TOOL_H_
#define AMPERVALE_TOOLS_AMPKEY_SMC_TOOL_H_

#include <sys/types.h>

#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string_view>

#include "common/backend_tool.h"
#include "smc/smc_transport.h"

namespace ampervale {

// What the key tool needs from its process: where results go, who runs it,
// and how the SMC is opened (only once the arguments have been accepted).
struct SMCToolContext {
  std::ostream& out;
  uid_t effective_uid;
  std::function<std::shared_ptr<NativeSMCAccess>()> open_smc;
};

// A hexadecimal byte: optional sign, one or more hex digits, no prefix.
// Leading zeros are fine; any intermediate value above 255 is not, and a
// minus sign leaves only zero.
std::optional<uint8_t> ParseHexByte(std::string_view text);

namespace NativeBackendTool {

// Reads a key and prints it, or writes a documented ACLC LED value. Every
// failure is thrown; a successful write prints nothing.
void runSMCTool(const Arguments& arguments, const SMCToolContext& context);

// The same, for this process: standard output, geteuid() and the SMC.
void runSMCTool(const Arguments& arguments);

}  // namespace NativeBackendTool
}  // namespace ampervale

#endif  // AMPERVALE_TOOLS_AMPKEY_SMC_TOOL_H_
