#include "sim/machine.h"

#include <gtest/gtest.h>

#include <fstream>

#include "common/native_control_error.h"
#include "sim/hex.h"

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

std::string KeyNames(const MachineDescription& machine) {
  std::string names;
  for (const auto& [key, value] : machine.keys) {
    names += key + "=" + ToHex(value) + " ";
  }
  return names;
}

TEST(MachineTest, BuiltInProfiles) {
  static const struct {
    std::string profile;
    std::string keys;
    std::string adapter_key;
  } cases[] = {
      {"firmware", "ACLC=00 CHIE=00 bfD0=64000000 bfE0=63000000 bfF0=00 ",
       "CHIE"},
      {"legacy-pair", "ACLC=00 CH0B=00 CH0C=00 CH0I=00 ", "CH0I"},
      {"legacy-single", "ACLC=00 CH0J=00 CHTE=00000000 ", "CH0J"},
      {"unsupported", "ACLC=00 CH0I=00 ", "CH0I"},
  };
  for (const auto& c : cases) {
    MachineDescription machine = BuiltInMachine(c.profile);
    EXPECT_EQ(c.profile, machine.name);
    EXPECT_EQ(c.keys, KeyNames(machine)) << c.profile;
    EXPECT_EQ(c.adapter_key, machine.adapter_key) << c.profile;
    EXPECT_TRUE(machine.battery_present) << c.profile;
    EXPECT_TRUE(machine.faults.empty()) << c.profile;
  }
  EXPECT_EQ(4u, BuiltInProfileNames().size());
}

TEST(MachineTest, UnknownProfile) {
  try {
    BuiltInMachine("legacy");
    FAIL();
  } catch (const NativeControlError& error) {
    EXPECT_EQ(
        "Unknown profile legacy; choose firmware, legacy-pair, legacy-single "
        "or unsupported",
        error.description());
  }
}

TEST(MachineTest, ErrorsNameTheField) {
  static const struct {
    std::string json;
    std::string error;
  } cases[] = {
      {"[]", "Machine description: expected an object"},
      {"{}", "Machine description field keys: missing"},
      {R"({"keys": []})", "Machine description field keys: expected an object"},
      {R"({"keys": {"ACL": "00"}})",
       "Machine description field keys.ACL: expected a four-character SMC key"},
      {R"({"keys": {"ACLC": "0"}})",
       "Machine description field keys.ACLC: expected 1 to 32 bytes as hex "
       "digits"},
      {R"({"keys": {"ACLC": ""}})",
       "Machine description field keys.ACLC: expected 1 to 32 bytes as hex "
       "digits"},
      {R"({"keys": {"ACLC": 4}})",
       "Machine description field keys.ACLC: expected 1 to 32 bytes as hex "
       "digits"},
      {R"({"keys": {"ACLC": ")" + std::string(66, '0') + R"("}})",
       "Machine description field keys.ACLC: expected 1 to 32 bytes as hex "
       "digits"},
      {R"({"keys": {}, "adapter": {"key": "ACLC"}})",
       "Machine description field adapter.key: expected CH0I, CH0J, CHIE or "
       "null"},
      {R"({"keys": {}, "adapter": {"connected": "yes"}})",
       "Machine description field adapter.connected: expected true or false"},
      {R"({"keys": {}, "battery": {"level": 101}})",
       "Machine description field battery.level: expected a number from 0 to "
       "100"},
      {R"({"keys": {}, "battery": {"level": "50"}})",
       "Machine description field battery.level: expected a number from 0 to "
       "100"},
      {R"({"keys": {}, "battery": {"maxCapacity": 0}})",
       "Machine description field battery.maxCapacity: expected an integer "
       "from 1 to 1000000"},
      {R"({"keys": {}, "battery": {"drainPercentPerHour": -1}})",
       "Machine description field battery.drainPercentPerHour: expected a "
       "number from 0 to 1000000"},
      {R"({"keys": {}, "battery": {"levle": 5}})",
       "Machine description field battery.levle: unknown field"},
      {R"({"keys": {}, "faults": {}})",
       "Machine description field faults: expected an array"},
      {R"({"keys": {}, "faults": [{"kind": "nope"}]})",
       "Machine description field faults[0].kind: expected one of "
       "read-result, write-result, not-privileged, ignore-write, width, "
       "disconnect, refuse-open, no-battery, capacity, private-socket"},
      {R"({"keys": {}, "faults": [{"kind": "no-battery"}, {"kind": "width",
          "key": "bfD0"}]})",
       "Machine description field faults[1].width: missing"},
      {R"({"keys": {}, "faults": [{"kind": "read-result", "key": "ACLC",
          "result": 0}]})",
       "Machine description field faults[0].result: expected an integer from "
       "1 to 255"},
      {R"({"keys": {}, "faults": [{"kind": "capacity",
          "property": "MaxCapacity", "value": []}]})",
       "Machine description field faults[0].value: expected null, a number or "
       "a string"},
      {R"({"keys": {}, "faults": [{"kind": "no-battery", "key": "ACLC"}]})",
       "Machine description field faults[0].key: unknown field"},
      {R"({"keys": {}, "colour": "red"})",
       "Machine description field colour: unknown field"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error, ParseError(c.json)) << c.json;
  }
}

TEST(MachineTest, FullDescription) {
  MachineDescription machine = ParseMachine(nlohmann::json::parse(R"({
    "name": "mine",
    "keys": {"CH0B": "00", "ACLC": "03 00"},
    "adapter": {"key": "CH0J", "connected": false},
    "battery": {"present": true, "level": 12.5, "maxCapacity": 3000,
                "chargePercentPerHour": 20, "drainPercentPerHour": 5},
    "faults": [{"kind": "refuse-open", "code": 3758097089},
               {"kind": "capacity", "property": "MaxCapacity", "value": 0}]
  })"));
  EXPECT_EQ("mine", machine.name);
  EXPECT_EQ("ACLC=0300 CH0B=00 CH0J=00 ", KeyNames(machine));
  EXPECT_FALSE(machine.adapter_connected);
  EXPECT_EQ(12.5, machine.battery.level);
  EXPECT_EQ(3000, machine.max_capacity);
  EXPECT_EQ(20, machine.battery.charge_rate);
  EXPECT_EQ(5, machine.battery.drain_rate);
  ASSERT_EQ(2u, machine.faults.size());
  EXPECT_EQ(static_cast<int32_t>(0xE00002C1), machine.faults[0].code);
  EXPECT_EQ(0, machine.faults[1].value);
}

TEST(MachineTest, Files) {
  std::string path = ::testing::TempDir() + "machine_test.json";
  std::ofstream(path) << R"({"keys": {"ACLC": "00"}, "name": "from file"})";
  EXPECT_EQ("from file", LoadMachineFile(path).name);
  std::ofstream(path) << R"({"keys": )";
  try {
    LoadMachineFile(path);
    FAIL();
  } catch (const NativeControlError& error) {
    EXPECT_EQ(0u, error.description().find("Machine description " + path +
                                           " is not valid JSON: "))
        << error.description();
  }
  try {
    LoadMachineFile("/nonexistent/machine.json");
    FAIL();
  } catch (const NativeControlError& error) {
    EXPECT_EQ(
        "Cannot read machine description /nonexistent/machine.json: No such "
        "file or directory",
        error.description());
  }
}

}  // namespace
}  // namespace ampervale::sim
