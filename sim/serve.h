#ifndef AMPERVALE_SIM_SERVE_H_
#define AMPERVALE_SIM_SERVE_H_

#include <optional>
#include <ostream>
#include <string>

namespace ampervale::sim {

struct ServeSettings {
  std::string socket_path;
  std::string profile;       // "" means firmware, unless machine_file is set
  std::string machine_file;  // "" means a built-in profile
  double time_scale = 1.0;
  std::optional<double> level;  // overrides the description's level
  std::string trace_path;       // "" means no trace
  bool live_view = false;       // redraw a screen rather than log lines
};

// `ampsim serve`: serves a simulated Mac until SIGINT, SIGTERM or SIGHUP,
// then removes the socket. Shows the live view or log lines on `out`.
// Throws NativeControlError
// when the machine, the trace or the socket cannot be set up.
void Serve(const ServeSettings& settings, std::ostream& out);

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_SERVE_H_
