#include "sim/control_client.h"

#include <string.h>

#include "common/native_control_error.h"
#include "platform/simulator_socket.h"
#include "sim/control.h"

namespace ampervale::sim {

namespace {

std::optional<std::string> ReceiveLine(platform::SimulatorSocket& socket) {
  std::string line;
  char c = 0;
  while (socket.ReceiveAll(&c, 1)) {
    if (c == '\n') return line;
    line.push_back(c);
  }
  return std::nullopt;
}

}  // namespace

nlohmann::json SendControl(const std::string& socket_path,
                           const nlohmann::json& request) {
  platform::SimulatorSocket socket;
  if (int error = socket.Connect(socket_path); error != 0) {
    throw NativeControlError("Cannot reach the simulator at " + socket_path +
                             ": " + strerror(error));
  }
  std::string text(1, static_cast<char>(kControlRequest));
  text += request.dump();
  text += '\n';
  std::optional<std::string> line;
  if (socket.SendAll(text.data(), text.size())) line = ReceiveLine(socket);
  nlohmann::json answer =
      line ? nlohmann::json::parse(*line, nullptr, false) : nlohmann::json();
  if (!answer.is_object() || !answer.contains("ok")) {
    throw NativeControlError("The simulator at " + socket_path +
                             " did not answer");
  }
  if (answer["ok"] != true) {
    throw NativeControlError(answer.value("error", "Control request failed"));
  }
  return answer;
}

}  // namespace ampervale::sim
