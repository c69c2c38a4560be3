#ifndef AMPERVALE_SIM_WATCH_H_
#define AMPERVALE_SIM_WATCH_H_

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace ampervale::sim {

// What `ampsim wait` waits for, besides an answer.
struct WaitCondition {
  std::optional<std::string> power;  // "charging", "holding", "draining"
  std::optional<int> at_least;       // battery percentage
  std::optional<int> at_most;
};

// Whether a state document (SimulatedMac::StateJson) meets every part.
bool Meets(const nlohmann::json& state, const WaitCondition& condition);

// Asks the simulator at `socket_path` for its state every 50 ms until it
// answers with a state that meets `condition`. Throws NativeControlError
// when `timeout_seconds` pass first, naming what was missing.
void WaitFor(const std::string& socket_path, const WaitCondition& condition,
             double timeout_seconds);

// The state in one line, for scripts that show progress:
// "80 % holding (firmware limit 80 %, resumes at 79 %); adapter CHIE 00,
// supplying power; LED green (ACLC 00)".
std::string StateSummary(const nlohmann::json& state);

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_WATCH_H_
