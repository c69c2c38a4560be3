#include "sim/control.h"

#include <gtest/gtest.h>

namespace ampervale::sim {
namespace {

nlohmann::json Ask(SimulatedMac& mac, const std::string& request) {
  return HandleControl(mac, nlohmann::json::parse(request));
}

TEST(ControlTest, AnswersAndRefusals) {
  static const struct {
    std::string request;
    std::string answer;
  } cases[] = {
      {R"({"command": "key", "key": "ACLC"})",
       R"({"ok": true, "key": "ACLC", "value": "00"})"},
      {R"({"command": "key", "key": "XXXX"})",
       R"({"ok": false, "error": "The machine has no key XXXX"})"},
      {R"({"command": "key", "key": "ACL"})",
       R"({"ok": false, "error": "Control request field key: expected a four-character SMC key"})"},
      {R"({"command": "set-key", "key": "ACLC", "value": "0"})",
       R"({"ok": false, "error": "Control request field value: expected 1 to 32 bytes as hex digits"})"},
      {R"({"command": "set-key", "key": "ACLC", "value": "04", "extra": 1})",
       R"({"ok": false, "error": "Control request field extra: unknown field"})"},
      {R"({"command": "battery", "level": 100.5})",
       R"({"ok": false, "error": "Control request field level: expected a number from 0 to 100"})"},
      {R"({"command": "fault", "fault": {"kind": "width", "key": "bfD0"}})",
       R"({"ok": false, "error": "Control request field fault.width: missing"})"},
      {R"({"command": "clear-faults", "kind": "bogus"})",
       R"({"ok": false, "error": "Control request field kind: expected one of read-result, write-result, not-privileged, ignore-write, width, disconnect, refuse-open, no-battery, capacity, private-socket"})"},
      {R"({"command": "remove-key", "key": "XXXX"})",
       R"({"ok": false, "error": "The machine has no key XXXX"})"},
      {R"({"command": "reboot"})",
       R"({"ok": false, "error": "Control request field command: unknown command reboot"})"},
      {R"({"key": "ACLC"})",
       R"({"ok": false, "error": "Control request field command: missing"})"},
      {R"("state")",
       R"({"ok": false, "error": "Control request: expected an object"})"},
  };
  for (const auto& c : cases) {
    SimulatedMac mac(BuiltInMachine("firmware"));
    EXPECT_EQ(nlohmann::json::parse(c.answer), Ask(mac, c.request))
        << c.request;
    EXPECT_EQ(std::vector<uint8_t>{0x00}, mac.smc().Value("ACLC")) << c.request;
  }
}

TEST(ControlTest, ChangesTheMachine) {
  SimulatedMac mac(BuiltInMachine("firmware"));
  EXPECT_EQ(true, Ask(mac, R"({"command": "set-key", "key": "ACLC",
                               "value": "04"})")["ok"]);
  EXPECT_EQ(true, Ask(mac, R"({"command": "set-key", "key": "CH0B",
                               "value": "02"})")["ok"]);
  EXPECT_EQ(true,
            Ask(mac, R"({"command": "remove-key", "key": "bfE0"})")["ok"]);
  EXPECT_EQ(true, Ask(mac, R"({"command": "battery", "level": 12.5})")["ok"]);
  EXPECT_EQ(true, Ask(mac, R"({"command": "fault", "fault":
                               {"kind": "no-battery"}})")["ok"]);
  EXPECT_EQ(std::vector<uint8_t>{0x04}, mac.smc().Value("ACLC"));
  EXPECT_EQ(std::vector<uint8_t>{0x02}, mac.smc().Value("CH0B"));
  EXPECT_FALSE(mac.smc().Value("bfE0"));
  EXPECT_EQ(12.5, mac.battery().level);
  EXPECT_FALSE(mac.BatteryServiceExists());
  EXPECT_TRUE(mac.smc().writes().empty());  // the operator's are not writes
  nlohmann::json state = Ask(mac, R"({"command": "state"})");
  EXPECT_EQ("holding", state["state"]["power"]);
  EXPECT_EQ("charging inhibited by CH0B 02", state["state"]["reason"]);
  EXPECT_EQ(1, Ask(mac, R"({"command": "clear-faults",
                            "kind": "no-battery"})")["cleared"]);
  EXPECT_TRUE(mac.BatteryServiceExists());
}

TEST(ControlTest, ClearsFaultsByKindAndTarget) {
  SimulatedMac mac(BuiltInMachine("firmware"));
  for (const char* fault :
       {R"({"kind": "ignore-write", "key": "ACLC"})",
        R"({"kind": "ignore-write", "key": "bfF0"})",
        R"({"kind": "width", "key": "ACLC", "width": 2})",
        R"({"kind": "capacity", "property": "MaxCapacity", "value": 0})"}) {
    HandleControl(
        mac, {{"command", "fault"}, {"fault", nlohmann::json::parse(fault)}});
  }
  EXPECT_EQ(1, Ask(mac, R"({"command": "clear-faults", "kind": "ignore-write",
                            "target": "bfF0"})")["cleared"]);
  EXPECT_EQ(1, Ask(mac, R"({"command": "clear-faults",
                            "target": "MaxCapacity"})")["cleared"]);
  EXPECT_EQ(2, Ask(mac, R"({"command": "clear-faults"})")["cleared"]);
  EXPECT_TRUE(mac.smc().faults().all().empty());
}

}  // namespace
}  // namespace ampervale::sim
