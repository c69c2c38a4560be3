#include "sim/session.h"

#include <gtest/gtest.h>

#include "sim/cli_args.h"
#include "sim/control.h"
#include "sim/hex.h"
#include "smc/smc_packet.h"

namespace ampervale::sim {
namespace {

using Bytes = std::vector<uint8_t>;

std::string Feed(Session& session, SimulatedMac& mac, std::string_view bytes) {
  session.Feed(Bytes(bytes.begin(), bytes.end()), mac);
  std::string answer = ToHex(session.output());
  session.output().clear();
  return answer;
}

TEST(SessionTest, AnswersAndEndings) {
  using enum Session::Ending;
  const Bytes read = NativeSMCPacket("ACLC", 5, 1, {}).bytes;
  const std::string open_and_read =
      '\x01' + std::string(read.begin(), read.end());
  static const struct {
    const char *name, *fault;  // the fault as the operator types it
    std::string bytes, answer;
    Session::Ending ending;
  } cases[] = {
      {"unknown first byte", "", "GET /", "", kNow},
      {"refused open", "refuse-open", "\x01", "c10200e000000000", kAfterOutput},
      {"kernel refusal: no reply block", "not-privileged", open_and_read,
       "0000000001000000c10200e000000000", kOpen},
      {"disconnect", "disconnect", open_and_read, "0000000001000000", kNow},
      {"battery property", "", "\x02\017CurrentCapacity",
       "0101ca08000000000000", kOpen},
      {"no battery", "no-battery", "\x02", "00", kAfterOutput},
      {"empty property name", "", {"\x02\x00", 2}, "01", kNow},
  };
  for (const auto& c : cases) {
    SimulatedMac mac(BuiltInMachine("firmware"));
    if (*c.fault) HandleControl(mac, FaultRequest({c.fault}, false));
    Session session(1);
    // Blocks may arrive split anywhere and joined to the next.
    std::string answer;
    for (size_t at = 0; at < c.bytes.size(); at += 16) {
      answer += Feed(session, mac, c.bytes.substr(at, 16));
    }
    EXPECT_EQ(c.answer, answer) << c.name;
    EXPECT_EQ(c.ending, session.ending()) << c.name;
    if (c.ending != kOpen) {
      EXPECT_EQ("", Feed(session, mac, "\x01")) << c.name << ": after the end";
    }
  }
}

}  // namespace
}  // namespace ampervale::sim
