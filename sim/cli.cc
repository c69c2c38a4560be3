#include "sim/cli.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "common/native_control_error.h"
#include "sim/chart.h"
#include "sim/cli_args.h"
#include "sim/control_client.h"
#include "sim/machine.h"
#include "sim/serve.h"

namespace ampervale::sim {

namespace {

using Handler = std::function<void(const CommandLine&, std::ostream&)>;

struct Command {
  std::string name;
  CommandSyntax syntax;
  Handler run;
};

const std::vector<std::string> kSocket{"--socket"};

nlohmann::json Send(const CommandLine& line, const nlohmann::json& request) {
  return SendControl(line.Option("--socket"), request);
}

void RunServe(const CommandLine& line, std::ostream& out) {
  ServeSettings settings;
  settings.socket_path = line.Option("--socket");
  settings.profile = line.Option("--profile");
  settings.machine_file = line.Option("--machine");
  if (line.options.contains("--time-scale")) {
    settings.time_scale = ParseNumber(line.Option("--time-scale"));
  }
  if (line.options.contains("--level")) {
    settings.level = ParseNumber(line.Option("--level"));
  }
  settings.trace_path = line.Option("--trace");
  settings.live_view = isatty(STDOUT_FILENO);
  Serve(settings, out);
}

void RunWait(const CommandLine& line, std::ostream&) {
  double timeout = ParseNumber(line.Option("--timeout", "10"));
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
  while (true) {
    try {
      Send(line, {{"command", "state"}});
      return;
    } catch (const NativeControlError&) {
      if (std::chrono::steady_clock::now() >= deadline) {
        throw NativeControlError("No simulator answered at " +
                                 line.Option("--socket") + " within " +
                                 line.Option("--timeout", "10") + " seconds");
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void RunKey(const CommandLine& line, std::ostream& out) {
  nlohmann::json answer =
      Send(line, {{"command", "key"}, {"key", line.words[0]}});
  out << answer["value"].get<std::string>() << "\n";
}

void RunSetKey(const CommandLine& line, std::ostream&) {
  Send(line, {{"command", "set-key"},
              {"key", line.words[0]},
              {"value", line.words[1]}});
}

void RunRemoveKey(const CommandLine& line, std::ostream&) {
  Send(line, {{"command", "remove-key"}, {"key", line.words[0]}});
}

void RunBattery(const CommandLine& line, std::ostream&) {
  Send(line, {{"command", "battery"}, {"level", ParseNumber(line.words[0])}});
}

void RunFault(const CommandLine& line, std::ostream&) {
  Send(line, FaultRequest(line.words, line.flags.contains("--clear")));
}

void RunState(const CommandLine& line, std::ostream& out) {
  out << Send(line, {{"command", "state"}})["state"].dump(2) << "\n";
}

void RunClearWrites(const CommandLine& line, std::ostream&) {
  Send(line, {{"command", "clear-writes"}});
}

void RunChart(const CommandLine& line, std::ostream&) {
  DrawChart(line.Option("--trace"), line.Option("--out"));
}

void RunProfile(const CommandLine& line, std::ostream& out) {
  out << BuiltInMachineJson(line.words[0]);
}

CommandSyntax Syntax(std::string usage, std::vector<std::string> options,
                     std::vector<std::string> required, size_t min_words = 0,
                     size_t max_words = 0) {
  return {.usage = std::move(usage),
          .options = std::move(options),
          .required = std::move(required),
          .flags = {},
          .min_words = min_words,
          .max_words = max_words};
}

CommandSyntax FaultSyntax() {
  CommandSyntax syntax = Syntax(
      "ampsim fault --socket PATH (KIND [ARGS] | --clear [KIND [TARGET]])",
      kSocket, kSocket, 0, 3);
  syntax.flags = {"--clear"};
  return syntax;
}

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands{
      {"serve",
       Syntax("ampsim serve --socket PATH [--profile NAME | --machine FILE] "
              "[--time-scale X] [--level PERCENT] [--trace FILE]",
              {"--socket", "--profile", "--machine", "--time-scale", "--level",
               "--trace"},
              kSocket),
       RunServe},
      {"wait",
       Syntax("ampsim wait --socket PATH [--timeout SECONDS]",
              {"--socket", "--timeout"}, kSocket),
       RunWait},
      {"key", Syntax("ampsim key --socket PATH KEY", kSocket, kSocket, 1, 1),
       RunKey},
      {"set-key",
       Syntax("ampsim set-key --socket PATH KEY HEX", kSocket, kSocket, 2, 2),
       RunSetKey},
      {"remove-key",
       Syntax("ampsim remove-key --socket PATH KEY", kSocket, kSocket, 1, 1),
       RunRemoveKey},
      {"battery",
       Syntax("ampsim battery --socket PATH PERCENT", kSocket, kSocket, 1, 1),
       RunBattery},
      {"fault", FaultSyntax(), RunFault},
      {"state", Syntax("ampsim state --socket PATH", kSocket, kSocket),
       RunState},
      {"clear-writes",
       Syntax("ampsim clear-writes --socket PATH", kSocket, kSocket),
       RunClearWrites},
      {"chart",
       Syntax("ampsim chart --trace FILE --out PNG", {"--trace", "--out"},
              {"--trace", "--out"}),
       RunChart},
      {"profile", Syntax("ampsim profile NAME", {}, {}, 1, 1), RunProfile},
  };
  return commands;
}

bool WantsHelp(const std::vector<std::string>& arguments) {
  return arguments.empty() || arguments[0] == "help" ||
         std::any_of(arguments.begin(), arguments.end(), [](const auto& word) {
           return word == "-h" || word == "--help";
         });
}

}  // namespace

void RunSimulatorTool(const std::vector<std::string>& arguments,
                      std::ostream& out) {
  if (WantsHelp(arguments)) {
    out << SimulatorHelpText();
    return;
  }
  for (const Command& command : Commands()) {
    if (command.name != arguments[0]) continue;
    std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
    command.run(ParseCommandLine(rest, command.syntax), out);
    return;
  }
  throw NativeControlError("Unknown ampsim command " + arguments[0] +
                           "; see ampsim --help");
}

}  // namespace ampervale::sim
