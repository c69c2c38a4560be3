#ifndef AMPERVALE_SIM_CLI_H_
#define AMPERVALE_SIM_CLI_H_

#include <ostream>
#include <string>
#include <vector>

namespace ampervale::sim {

// The `ampsim` program, given its arguments without the program name.
// Results go to `out`; every failure is thrown as a NativeControlError for
// the entry point to print.
void RunSimulatorTool(const std::vector<std::string>& arguments,
                      std::ostream& out);

std::string SimulatorHelpText();

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_CLI_H_
