#include <gtest/gtest.h>

#include <sstream>

#include "sim/cli.h"
#include "sim/control.h"
#include "sim/machine.h"
#include "sim/simulated_mac.h"
#include "tools/ampctl/tool_test_support.h"

namespace ampervale::sim {
namespace {

using ampervale::testing::Words;

// Refused before any simulator is reached: the socket does not exist.
TEST(SimulatorCommandLineTest, RefusesExtraWordsAndTrailingCharacters) {
  static const struct {
    const char* arguments;
    const char* error;
  } kCases[] = {
      {"key --socket /none ACLC -r", "Usage: ampsim key --socket PATH KEY"},
      {"battery --socket /none 50x", "Invalid number 50x"},
      {"wait --socket /none --at-least 5x", "Invalid number 5x"},
      {"wait --socket /none --at-most 0x1g", "Invalid number 0x1g"},
      {"fault --socket /none width bfD0 2x", "Invalid number 2x"},
      {"fault --socket /none ignore-write ACLC 1",
       "Wrong arguments for the fault ignore-write; see ampsim --help"},
  };
  for (const auto& c : kCases) {
    std::ostringstream out;
    EXPECT_EQ(c.error, ControlErrorOf(
                           [&] { RunSimulatorTool(Words(c.arguments), out); }))
        << c.arguments;
    EXPECT_EQ("", out.str()) << c.arguments;
  }
}

// Hex digits of either case; anything next to 0-9, a-f or A-F is refused.
TEST(SimulatorCommandLineTest, KeyValuesTakeHexDigitsOfEitherCase) {
  static const struct {
    const char* value;
    const char* stored;  // "" when refused
  } kCases[] = {
      {"0a", "0a"}, {"Ff", "ff"}, {"9A 0f", "9a0f"}, {"0g", ""}, {"0G", ""},
      {"0:", ""},   {"0@", ""},   {"0`", ""},        {"/0", ""}, {"0a1", ""},
  };
  for (const auto& c : kCases) {
    SimulatedMac mac(BuiltInMachine("firmware"));
    const nlohmann::json answer = HandleControl(
        mac, {{"command", "set-key"}, {"key", "ACLC"}, {"value", c.value}});
    EXPECT_EQ(!*c.stored, answer.contains("error")) << c.value;
    EXPECT_EQ(*c.stored ? c.stored : "00",
              HandleControl(mac, {{"command", "key"}, {"key", "ACLC"}})
                  .value("value", "none"))
        << c.value;
  }
}

}  // namespace
}  // namespace ampervale::sim
