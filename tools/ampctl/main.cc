#include "common/backend_tool.h"
#include "tools/ampctl/power_tool.h"

int main(int argc, char** argv) {
  using namespace ampervale;
  // install needs the path this process was started by.
  PowerToolContext context =
      PowerToolContext::Process(argc > 0 && argv[0] ? argv[0] : "");
  return NativeBackendTool::main(
      argc, argv, [&](const NativeBackendTool::Arguments& arguments) {
        NativeBackendTool::runPowerTool(arguments, context);
      });
}
