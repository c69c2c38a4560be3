// ampkey's tool in process against a simulated SMC. The first byte picks
// the user and the machine; the rest, split at line feeds, are the
// arguments. Every run ends with status 0, or 1 and one line of error, and
// the only writes that reach the SMC are root's documented ACLC values.

#include <algorithm>
#include <sstream>

#include "sim/in_process.h"
#include "tests/fuzz/fuzz_support.h"
#include "tools/ampkey/smc_tool.h"

using namespace ampervale;

namespace {

bool IsDocumentedWrite(const sim::SMCWrite& write) {
  static const std::vector<uint8_t> kValues = {0x00, 0x01, 0x03, 0x04,
                                               0x06, 0x07, 0x25};
  return write.key == "ACLC" && write.bytes.size() == 1 &&
         std::count(kValues.begin(), kValues.end(), write.bytes[0]) == 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  sim::SMCModel model(fuzz::BuiltInKeys(data[0]));
  const uid_t uid = (data[0] & 0x80) != 0 ? 1000 : 0;
  std::ostringstream out;
  std::ostringstream err;
  const SMCToolContext context{out, uid, [&] {
                                 return std::make_shared<NativeSMCTransport>(
                                     sim::InProcessExchange(model));
                               }};
  const auto arguments = fuzz::Lines(
      std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  const int status = NativeBackendTool::run(
      arguments,
      [&](const auto& a) { NativeBackendTool::runSMCTool(a, context); }, err);
  fuzz::Require(status == 0 ? err.str().empty() : fuzz::IsOneLine(err.str()),
                "not status 0, or 1 with one line of error");
  for (const sim::SMCWrite& write : model.writes()) {
    fuzz::Require(uid == 0 && IsDocumentedWrite(write),
                  "an SMC write that ampkey must refuse");
  }
  return 0;
}
