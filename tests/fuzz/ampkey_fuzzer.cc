// ampkey's tool in process against a simulated SMC. The first byte picks
// the user and the machine; the rest, split at line feeds, are the
// arguments. Every run ends with status 0, or 1 and one line of error, and
// the only writes that reach the SMC are root's documented ACLC values.

#include "sim/in_process.h"
#include "tests/fuzz/fuzz_support.h"
#include "tools/ampkey/smc_tool.h"

using namespace ampervale;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  sim::SMCModel model(fuzz::BuiltInKeys(data[0]));
  const uid_t uid = (data[0] & 0x80) != 0 ? 1000 : 0;
  std::ostringstream out;
  const SMCToolContext context{out, uid, [&] {
                                 return std::make_shared<NativeSMCTransport>(
                                     sim::InProcessExchange(model));
                               }};
  fuzz::RunTool(data + 1, size - 1, [&](const auto& arguments) {
    NativeBackendTool::runSMCTool(arguments, context);
  });
  const std::string_view documented("\x00\x01\x03\x04\x06\x07\x25", 7);
  for (const sim::SMCWrite& write : model.writes()) {
    fuzz::Require(uid == 0 && write.key == "ACLC" && write.bytes.size() == 1 &&
                      documented.find(static_cast<char>(write.bytes[0])) !=
                          documented.npos,
                  "an SMC write that ampkey must refuse");
  }
  return 0;
}
