#include "sim/session.h"

#include <gtest/gtest.h>

#include "platform/io_return.h"
#include "sim/hex.h"
#include "smc/smc_packet.h"

namespace ampervale::sim {
namespace {

using Bytes = std::vector<uint8_t>;

std::string Feed(Session& session, SimulatedMac& mac, const Bytes& bytes) {
  session.Feed(bytes, mac);
  std::string answer = ToHex(session.output());
  session.output().clear();
  return answer;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes joined;
  for (const Bytes& part : parts)
    joined.insert(joined.end(), part.begin(), part.end());
  return joined;
}

Bytes Name(const std::string& name) {
  Bytes bytes{static_cast<uint8_t>(name.size())};
  for (char c : name) bytes.push_back(static_cast<uint8_t>(c));
  return bytes;
}

TEST(SessionTest, OpensWithTheHandleAndAnswersBlocksInOrder) {
  SimulatedMac mac(BuiltInMachine("firmware"));
  mac.smc().SetValue("ACLC", {0x03});
  Session session(7);
  EXPECT_EQ("0000000007000000", Feed(session, mac, {0x01}));
  Bytes info = NativeSMCPacket("ACLC", kSMCKeyInformation, 0, {}).bytes;
  Bytes read = NativeSMCPacket("ACLC", kSMCReadKey, 1, {}).bytes;
  // Two requests at once, the second split across feeds.
  Bytes both = Join({info, read});
  std::string answer =
      Feed(session, mac, Bytes(both.begin(), both.begin() + 100));
  answer += Feed(session, mac, Bytes(both.begin() + 100, both.end()));
  ASSERT_EQ(2u * (8 + 80) * 2, answer.size());
  EXPECT_EQ("0000000050000000", answer.substr(0, 16));  // code 0, n 80
  EXPECT_EQ("01000000", answer.substr(16 + 56, 8));     // width 1 at 28
  EXPECT_EQ("03", answer.substr(176 + 16 + 96, 2));     // ACLC at 48
  EXPECT_EQ(Session::Ending::kOpen, session.ending());
}

TEST(SessionTest, KernelRefusalHasNoReplyBytes) {
  SimulatedMac mac(BuiltInMachine("firmware"));
  Fault refusal;
  refusal.kind = FaultKind::kNotPrivileged;
  mac.smc().faults().Add(refusal);
  Session session(1);
  Feed(session, mac, {0x01});
  EXPECT_EQ("c10200e000000000",
            Feed(session, mac, NativeSMCPacket("ACLC", 9, 0, {}).bytes));
}

TEST(SessionTest, EndingsByFirstByteAndFaults) {
  Fault refuse;
  refuse.kind = FaultKind::kRefuseOpen;
  refuse.code = platform::kIOReturnNotPrivileged;
  Fault refuse_zero = refuse;
  refuse_zero.code = 0;
  Fault no_battery;
  no_battery.kind = FaultKind::kNoBattery;
  Fault disconnect;
  disconnect.kind = FaultKind::kDisconnect;
  static const struct {
    const char* name;
    std::optional<Fault> fault;
    Bytes bytes;
    std::string answer;
    Session::Ending ending;
  } cases[] = {
      {"unknown first byte",
       std::nullopt,
       {0x00, 0x01},
       "",
       Session::Ending::kNow},
      {"garbage", std::nullopt, {'G', 'E', 'T'}, "", Session::Ending::kNow},
      {"refused open",
       refuse,
       {0x01},
       "c10200e000000000",
       Session::Ending::kAfterOutput},
      {"success without a handle",
       refuse_zero,
       {0x01},
       "0000000000000000",
       Session::Ending::kAfterOutput},
      {"battery", std::nullopt, {0x02}, "01", Session::Ending::kOpen},
      {"no battery", no_battery, {0x02}, "00", Session::Ending::kAfterOutput},
      {"empty property name",
       std::nullopt,
       {0x02, 0x00},
       "01",
       Session::Ending::kNow},
      {"disconnect fault", disconnect,
       Join({{0x01}, NativeSMCPacket("ACLC", 5, 1, {}).bytes}),
       "0000000001000000", Session::Ending::kNow},
      {"control line", std::nullopt, Join({{0x03}, Bytes{'[', ']', '\n'}}),
       ToHex(Bytes{'{', '"'}), Session::Ending::kAfterOutput},
      {"control line too long", std::nullopt, Join({{0x03}, Bytes(70000, ' ')}),
       "", Session::Ending::kNow},
  };
  for (const auto& c : cases) {
    SimulatedMac mac(BuiltInMachine("firmware"));
    if (c.fault) mac.smc().faults().Add(*c.fault);
    Session session(1);
    std::string answer = Feed(session, mac, c.bytes);
    EXPECT_EQ(c.answer, answer.substr(0, c.answer.size())) << c.name;
    EXPECT_EQ(c.ending, session.ending()) << c.name;
    EXPECT_EQ("", Feed(session, mac, {0x01})) << c.name << ": after the end";
  }
}

TEST(SessionTest, BatteryPropertiesOnTheWire) {
  SimulatedMac mac(BuiltInMachine("firmware"));  // 50 % of 4500
  Fault text;
  text.kind = FaultKind::kCapacity;
  text.property = "MaxCapacity";
  text.value = "text";
  Session session(1);
  EXPECT_EQ("01", Feed(session, mac, {0x02}));
  EXPECT_EQ("01ca08000000000000", Feed(session, mac, Name("CurrentCapacity")));
  EXPECT_EQ("00", Feed(session, mac, Name("Cycle")));
  mac.smc().faults().Add(text);
  EXPECT_EQ("03", Feed(session, mac, Name("MaxCapacity")));
  text.value = 0.5;
  mac.smc().faults().Add(text);
  EXPECT_EQ("02000000000000e03f", Feed(session, mac, Name("MaxCapacity")));
}

TEST(SessionTest, ControlRequestIsAnsweredByOneLine) {
  SimulatedMac mac(BuiltInMachine("firmware"));
  Session session(1);
  std::string request = "{\"command\": \"key\", \"key\": \"ACLC\"}\n";
  session.Feed(Join({{0x03}, Bytes(request.begin(), request.end())}), mac);
  std::string answer(session.output().begin(), session.output().end());
  EXPECT_EQ("{\"key\":\"ACLC\",\"ok\":true,\"value\":\"00\"}\n", answer);
  session.output().clear();
  std::string broken = "{not json\n";
  Session second(2);
  second.Feed(Join({{0x03}, Bytes(broken.begin(), broken.end())}), mac);
  EXPECT_EQ("{\"error\":\"Control request is not valid JSON\",\"ok\":false}\n",
            std::string(second.output().begin(), second.output().end()));
}

}  // namespace
}  // namespace ampervale::sim
