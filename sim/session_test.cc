#include "sim/session.h"

#include <gtest/gtest.h>

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

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(SessionTest, AnswersSplitAndJoinedBlocksInOrder) {
  SimulatedMac mac(BuiltInMachine("firmware"));
  mac.smc().SetValue("ACLC", {0x03});
  Session session(7);
  EXPECT_EQ("0000000007000000", Feed(session, mac, {0x01}));
  Bytes both = NativeSMCPacket("ACLC", kSMCKeyInformation, 0, {}).bytes;
  Bytes read = NativeSMCPacket("ACLC", kSMCReadKey, 1, {}).bytes;
  both.insert(both.end(), read.begin(), read.end());
  std::string answer =
      Feed(session, mac, Bytes(both.begin(), both.begin() + 100));
  answer += Feed(session, mac, Bytes(both.begin() + 100, both.end()));
  ASSERT_EQ(2u * (8 + 80) * 2, answer.size());
  EXPECT_EQ("0000000050000000", answer.substr(0, 16));  // code 0, 80 bytes
  EXPECT_EQ("01000000", answer.substr(16 + 56, 8));     // width 1 at 28
  EXPECT_EQ("0000000050000000", answer.substr(176, 16));
  EXPECT_EQ("03", answer.substr(176 + 16 + 96, 2));  // ACLC at 48
  EXPECT_EQ(Session::Ending::kOpen, session.ending());
}

TEST(SessionTest, AnswersAndEndings) {
  using enum Session::Ending;
  auto fault = [](FaultKind kind) {
    Fault made;
    made.kind = kind;
    made.code = -536870207;  // what a refused open greets with
    return made;
  };
  Bytes read = NativeSMCPacket("ACLC", 5, 1, {}).bytes;
  std::string open_and_read(1, '\x01');
  open_and_read.append(read.begin(), read.end());
  static const struct {
    const char* name;
    std::optional<Fault> fault;
    std::string bytes;
    std::string answer;
    Session::Ending ending;
  } cases[] = {
      {"unknown first byte", std::nullopt, "GET /", "", kNow},
      {"refused open", fault(FaultKind::kRefuseOpen), "\x01",
       "c10200e000000000", kAfterOutput},
      {"kernel refusal: no reply block", fault(FaultKind::kNotPrivileged),
       open_and_read, "0000000001000000c10200e000000000", kOpen},
      {"disconnect", fault(FaultKind::kDisconnect), open_and_read,
       "0000000001000000", kNow},
      {"battery property", std::nullopt,
       "\x02\x0f"
       "CurrentCapacity",
       "0101ca08000000000000", kOpen},
      {"no battery", fault(FaultKind::kNoBattery), "\x02", "00", kAfterOutput},
      {"empty property name", std::nullopt, std::string("\x02\x00", 2), "01",
       kNow},
  };
  for (const auto& c : cases) {
    SimulatedMac mac(BuiltInMachine("firmware"));
    if (c.fault) mac.smc().faults().Add(*c.fault);
    Session session(1);
    EXPECT_EQ(c.answer, Feed(session, mac, Text(c.bytes))) << c.name;
    EXPECT_EQ(c.ending, session.ending()) << c.name;
    if (c.ending != kOpen) {
      EXPECT_EQ("", Feed(session, mac, {0x01})) << c.name << ": after the end";
    }
  }
}

}  // namespace
}  // namespace ampervale::sim
