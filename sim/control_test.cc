#include "sim/control.h"

#include <gtest/gtest.h>

namespace ampervale::sim {
namespace {

TEST(ControlTest, RefusalsChangeNothing) {
  static const struct {
    std::string request;
    std::string answer;
  } cases[] = {
      {R"({"command": "key", "key": "XXXX"})",
       R"({"ok": false, "error": "The machine has no key XXXX"})"},
      {R"({"command": "set-key", "key": "ACLC", "value": "0"})",
       R"({"ok": false, "error": "Control request field value: expected 1 to 32 bytes as hex digits"})"},
      {R"({"command": "battery", "level": 100.5})",
       R"({"ok": false, "error": "Control request field level: expected a number from 0 to 100"})"},
      {R"({"command": "reboot"})",
       R"({"ok": false, "error": "Control request field command: unknown command reboot"})"},
      {R"("state")",
       R"({"ok": false, "error": "Control request: expected an object"})"},
  };
  for (const auto& c : cases) {
    SimulatedMac mac(BuiltInMachine("firmware"));
    EXPECT_EQ(nlohmann::json::parse(c.answer),
              HandleControl(mac, nlohmann::json::parse(c.request)))
        << c.request;
    EXPECT_EQ(std::vector<uint8_t>{0x00}, mac.smc().Value("ACLC")) << c.request;
    EXPECT_EQ(50, mac.battery().level) << c.request;
  }
}

}  // namespace
}  // namespace ampervale::sim
