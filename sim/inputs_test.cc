#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "sim/cli.h"
#include "sim/cli_args.h"
#include "sim/control.h"
#include "sim/machine.h"
#include "sim/simulated_mac.h"
#include "tools/ampctl/tool_test_support.h"

namespace ampervale::sim {
namespace {

using ampervale::testing::Words;

// Refused before any simulator is reached: the socket does not exist.
TEST(SimulatorCommandLineTest, RefusesExtraWordsAndTrailingCharacters) {
  static const char kHalfRateChange[] =
      "A rate change needs both its time and its rate (--rate-change-at and "
      "--rate-after)";
  static const struct {
    const char *arguments, *error;
  } kCases[] = {
      {"key --socket /none ACLC -r", "Usage: ampsim key --socket PATH KEY"},
      {"battery --socket /none 1e2", "Battery level|1e2"},
      {"serve --socket /none/s --time-scale 1e2", "--time-scale|1e2"},
      {"serve --socket /none/s --level -0", "--level|-0"},
      {"wait --socket /none --timeout 0x10", "--timeout|0x10"},
      {"wait --socket /none --at-least 5.",
       "Option --at-least takes a whole number from 0 to 100, not 5."},
      {"wait --socket /none --at-most 0x1g",
       "Option --at-most takes a whole number from 0 to 100, not 0x1g"},
      {"fault --socket /none width bfD0 2x",
       "Fault width takes a whole number from 0 to 4294967295, not 2x"},
      {"fault --socket /none refuse-open -0",
       "Fault code takes a whole number from 0 to 4294967295, not -0"},
      {"fault --socket /none capacity MaxCapacity -1e2", "Fault value|1e2"},
      {"fault --socket /none ignore-write ACLC 1",
       "Wrong arguments for the fault ignore-write; see ampsim --help"},
      {"sleep --socket /none --hours 0x10", "--hours|0x10"},
      {"sleep --socket /none --hours -0", "--hours|-0"},
      {"sleep --socket /none --hours 2 --linger -5", "--linger|-5"},
      {"sleep --socket /none --hours 2 --linger +5", "--linger|+5"},
      {"sleep --socket /none --hours 2 --level-lag 0x10", "--level-lag|0x10"},
      {"sleep --socket /none --hours 2 --plug-in-at 1.2.3",
       "--plug-in-at|1.2.3"},
      {"sleep --socket /none --hours 2 --rate-after .", "--rate-after|."},
      {"sleep --socket /none --hours 48.5",
       "Option --hours takes 0 to 48 hours"},
      {"sleep --socket /none --hours 2 --dark-wake-every 0.5",
       "Option --dark-wake-every takes a number from 1 to 2880"},
      {"sleep --socket /none --hours 48 --linger 2. --plug-wake "
       "--dark-wake-every 1 --dark-wake-seconds 5",
       "Cannot reach the simulator at /none: No such file or directory"},
      {"sleep --socket /none --hours 2 --dark-wake-seconds 5",
       "--dark-wake-seconds needs --dark-wake-every: how often the machine "
       "wakes dark"},
      {"sleep --socket /none --hours 2 --rate-change-at 30", kHalfRateChange},
      {"sleep --socket /none --hours 2 --rate-after 5", kHalfRateChange},
  };
  for (const auto& c : kCases) {
    std::ostringstream out;
    // "NAME|TEXT": a number that is not plain decimal digits.
    std::string error = c.error;
    if (size_t bar = error.find('|'); bar != std::string::npos) {
      error = (error[0] == '-' ? "Option " : "") + error.substr(0, bar) +
              " takes a plain decimal number such as 20 or 2.5, not " +
              error.substr(bar + 1);
    }
    auto run = [&] { RunSimulatorTool(Words(c.arguments), out); };
    EXPECT_EQ(error, ControlErrorOf(run)) << c.arguments;
    EXPECT_EQ("", out.str()) << c.arguments;
  }
}

// A machine file keeps its adapter key's value, in hex digits of either
// case, and may start empty; the operator may fill the battery, and a new
// level ends a firmware hold. A fault set again on its target replaces it.
TEST(SimulatorInputsTest, MachineFilesAndBatteryLevels) {
  nlohmann::json file = nlohmann::json::parse(BuiltInMachineJson("firmware"));
  file["keys"]["CHIE"] = "9fF0", file["battery"]["level"] = 0;
  file["keys"]["bfF0"] = "02", file["keys"]["bfD0"] = "50000000";
  file["keys"]["bfE0"] = "4b000000";
  MachineDescription machine = ParseMachine(file);
  EXPECT_EQ((std::vector<uint8_t>{0x9f, 0xf0}), machine.keys.at("CHIE"));
  file["keys"]["bfE0"] = "4g000000";  // not a hex digit
  EXPECT_THROW(ParseMachine(file), NativeControlError);
  EXPECT_EQ(0, machine.battery.level);
  machine.keys["CHIE"] = {0x00};
  SimulatedMac mac(machine);
  for (double level : {100.0, 78.0}) {
    nlohmann::json request{{"command", "battery"}, {"level", level}};
    EXPECT_EQ(R"({"ok":true})", HandleControl(mac, request).dump()) << level;
    mac.Advance(36);
  }
  EXPECT_EQ("charging amber",
            std::string(PowerStateName(mac.state())) + " " + mac.Led());
  // 80 a rounding error short reads 80 %; 79.995 reads 79.
  for (auto [level, shown] :
       {std::pair{std::nextafter(80.0, 0), 80}, {79.995, 79}}) {
    HandleControl(mac, {{"command", "battery"}, {"level", level}});
    EXPECT_EQ(shown, mac.StateJson()["battery"]["percentage"]) << level;
  }
  for (const char* code : {"1", "4294967295"})
    HandleControl(mac, FaultRequest({"refuse-open", code}, false));
  EXPECT_EQ(R"([{"code":-1,"kind":"refuse-open"}])",
            mac.StateJson()["faults"].dump());
}

}  // namespace
}  // namespace ampervale::sim
