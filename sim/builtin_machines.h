#ifndef AMPERVALE_SIM_BUILTIN_MACHINES_H_
#define AMPERVALE_SIM_BUILTIN_MACHINES_H_

#include <array>
#include <string_view>

namespace ampervale::sim {

struct BuiltInMachineText {
  std::string_view profile;
  std::string_view json;
};

// The machine files of sim/machines/, compiled in so that `ampsim serve
// --profile NAME` needs no file at run time. The build generates the
// definition from those files; they are the one source of the profiles.
extern const std::array<BuiltInMachineText, 4> kBuiltInMachines;

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_BUILTIN_MACHINES_H_
