#include "common/backend_tool.h"
#include "tools/ampkey/smc_tool.h"

int main(int argc, char** argv) {
  return ampervale::NativeBackendTool::main(
      argc, argv, [](const ampervale::NativeBackendTool::Arguments& arguments) {
        ampervale::NativeBackendTool::runSMCTool(arguments);
      });
}
