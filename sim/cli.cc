#include "sim/cli.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "common/native_control_error.h"
#include "platform/simulator_socket.h"
#include "sim/chart.h"
#include "sim/cli_args.h"
#include "sim/control.h"
#include "sim/control_client.h"
#include "sim/json_fields.h"
#include "sim/machine.h"
#include "sim/serve.h"
#include "sim/sleep_cycle.h"
#include "sim/watch.h"

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
    settings.time_scale =
        ParsePlainDecimal("Option --time-scale", line.Option("--time-scale"));
  }
  if (line.options.contains("--level")) {
    settings.level =
        ParsePlainDecimal("Option --level", line.Option("--level"));
  }
  settings.trace_path = line.Option("--trace");
  settings.live_view = isatty(STDOUT_FILENO);
  Serve(settings, out);
}

std::optional<int> PercentOption(const CommandLine& line,
                                 const std::string& name) {
  if (!line.options.contains(name)) return std::nullopt;
  return static_cast<int>(
      ParsePlainInteger("Option " + name, line.Option(name), 100));
}

void RunWait(const CommandLine& line, std::ostream&) {
  WaitCondition condition;
  if (line.options.contains("--power"))
    condition.power = line.Option("--power");
  condition.at_least = PercentOption(line, "--at-least");
  condition.at_most = PercentOption(line, "--at-most");
  WaitFor(
      line.Option("--socket"), condition,
      ParsePlainDecimal("Option --timeout", line.Option("--timeout", "10")));
}

void RunSummary(const CommandLine& line, std::ostream& out) {
  out << StateSummary(Send(line, {{"command", "state"}})["state"]) << "\n";
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
  Send(line, {{"command", "battery"},
              {"level", ParsePlainDecimal("Battery level", line.words[0])}});
}

void RunFault(const CommandLine& line, std::ostream&) {
  Send(line, FaultRequest(line.words, line.flags.contains("--clear")));
}

void RunState(const CommandLine& line, std::ostream& out) {
  out << Send(line, {{"command", "state"}})["state"].dump(2) << "\n";
}

void RunSleep(const CommandLine& line, std::ostream& out) {
  nlohmann::json request = SleepRequest(line);
  JsonObjectReader reader(request, "Sleep request", "");
  SleepOptions options = ReadSleepOptions(reader);
  // The answer comes once the machine is awake again: the night at the
  // sleep's pace, the awake periods at the server's.
  double scale =
      Send(line, {{"command", "state"}})["state"].value("timeScale", 1.0);
  platform::SetSimulatorExchangeLimit(
      std::chrono::milliseconds(static_cast<int64_t>(
          (SleepCycle::LongestRealSeconds(options, scale) + 10) * 1000)));
  nlohmann::json state = Send(line, request)["state"];
  const nlohmann::json& sleep = state["sleep"];
  out << "Awake after " << line.Option("--hours") << " h; "
      << sleep["scheduledWakesServed"].get<uint64_t>()
      << " booked wake(s) served and " << sleep["lateAnswers"].get<uint64_t>()
      << " late answer(s) since the start; this sleep: "
      << sleep["fullWakes"].get<uint64_t>() << " full wake(s), "
      << sleep["darkWakes"].get<uint64_t>() << " dark wake(s), highest level "
      << PercentText(sleep["highestLevel"].get<double>()) << "; "
      << StateSummary(state) << "\n";
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
       Syntax("ampsim wait --socket PATH [--power STATE] [--at-least PERCENT] "
              "[--at-most PERCENT] [--timeout SECONDS]",
              {"--socket", "--power", "--at-least", "--at-most", "--timeout"},
              kSocket),
       RunWait},
      {"summary", Syntax("ampsim summary --socket PATH", kSocket, kSocket),
       RunSummary},
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
      {"sleep", SleepSyntax(), RunSleep},
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
