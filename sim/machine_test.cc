#include "sim/machine.h"

#include <gtest/gtest.h>

#include "common/native_control_error.h"

namespace ampervale::sim {
namespace {

std::string ParseError(const std::string& text) {
  try {
    ParseMachine(nlohmann::json::parse(text));
  } catch (const NativeControlError& error) {
    return error.description();
  }
  return "no error";
}

TEST(MachineTest, ErrorsNameTheField) {
  static const struct {
    std::string json;
    std::string error;
  } cases[] = {
      {R"({"keys": {"ACLC": "00"}, "battery": {"level": 100}})", "no error"},
      {"{}", "Machine description field keys: missing"},
      {R"({"keys": {}, "adapter": {"key": "ACLC"}})",
       "Machine description field adapter.key: expected CH0I, CH0J, CHIE or "
       "null"},
      {R"({"keys": {}, "battery": {"level": 101}})",
       "Machine description field battery.level: expected a number from 0 to "
       "100"},
      {R"({"keys": {}, "battery": {"levle": 5}})",
       "Machine description field battery.levle: unknown field"},
      {R"({"keys": {}, "faults": [{"kind": "no-battery"}, {"kind": "width",
          "key": "bfD0"}]})",
       "Machine description field faults[1].width: missing"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error, ParseError(c.json)) << c.json;
  }
}

}  // namespace
}  // namespace ampervale::sim
