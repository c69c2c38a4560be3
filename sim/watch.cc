#include "sim/watch.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "common/native_control_error.h"
#include "sim/control_client.h"

namespace ampervale::sim {

namespace {

std::string NumberText(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

std::string ConditionText(const WaitCondition& condition) {
  std::string text;
  if (condition.power) text += "power " + *condition.power + ", ";
  if (condition.at_least) {
    text += "at least " + std::to_string(*condition.at_least) + " %, ";
  }
  if (condition.at_most) {
    text += "at most " + std::to_string(*condition.at_most) + " %, ";
  }
  return text.empty() ? "an answer" : text.substr(0, text.size() - 2);
}

std::string KeyValue(const nlohmann::json& state, const std::string& key) {
  const nlohmann::json& keys = state["keys"];
  return keys.contains(key) ? keys[key].get<std::string>() : "-";
}

std::string AdapterSummary(const nlohmann::json& state) {
  const nlohmann::json& adapter = state["adapter"];
  if (adapter["key"].is_null()) return "no adapter key";
  std::string key = adapter["key"].get<std::string>();
  std::string text = "adapter " + key + " " + KeyValue(state, key);
  if (!adapter["connected"].get<bool>()) return text + ", unplugged";
  return text +
         (adapter["supplying"].get<bool>() ? ", supplying power" : ", cut off");
}

}  // namespace

bool Meets(const nlohmann::json& state, const WaitCondition& condition) {
  int percentage = state["battery"]["percentage"].get<int>();
  return (!condition.power || state["power"] == *condition.power) &&
         (!condition.at_least || percentage >= *condition.at_least) &&
         (!condition.at_most || percentage <= *condition.at_most);
}

void WaitFor(const std::string& socket_path, const WaitCondition& condition,
             double timeout_seconds) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::duration<double>(timeout_seconds);
  std::optional<nlohmann::json> last;
  while (true) {
    try {
      last = SendControl(socket_path, {{"command", "state"}})["state"];
      if (Meets(*last, condition)) return;
    } catch (const NativeControlError&) {
      // Not up yet, or gone for a moment: keep asking until the deadline.
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::string within = " within " + NumberText(timeout_seconds) +
                       (timeout_seconds == 1 ? " second" : " seconds");
  if (!last) {
    throw NativeControlError("No simulator answered at " + socket_path +
                             within);
  }
  throw NativeControlError("The simulator at " + socket_path +
                           " did not reach " + ConditionText(condition) +
                           within + " (now " + StateSummary(*last) + ")");
}

std::string StateSummary(const nlohmann::json& state) {
  std::string battery =
      state["battery"]["present"].get<bool>()
          ? std::to_string(state["battery"]["percentage"].get<int>()) + " % "
          : "no battery service, ";
  return battery + state["power"].get<std::string>() + " (" +
         state["reason"].get<std::string>() + "); " + AdapterSummary(state) +
         "; LED " + state["led"].get<std::string>() + " (ACLC " +
         KeyValue(state, "ACLC") + ")";
}

}  // namespace ampervale::sim
