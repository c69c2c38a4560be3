#ifndef AMPERVALE_SIM_CONTROL_CLIENT_H_
#define AMPERVALE_SIM_CONTROL_CLIENT_H_

#include <nlohmann/json.hpp>
#include <string>

namespace ampervale::sim {

// Sends one control request (see control.h) to the simulator serving at
// `socket_path` and returns its answer. Throws NativeControlError when the
// simulator cannot be reached or does not answer, and with the
// simulator's own text when it answers {"ok": false}.
nlohmann::json SendControl(const std::string& socket_path,
                           const nlohmann::json& request);

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_CONTROL_CLIENT_H_
