#include <iostream>

#include "common/backend_tool.h"
#include "sim/cli.h"

int main(int argc, char** argv) {
  return ampervale::NativeBackendTool::main(
      argc, argv, [](const ampervale::NativeBackendTool::Arguments& arguments) {
        ampervale::sim::RunSimulatorTool(arguments, std::cout);
      });
}
