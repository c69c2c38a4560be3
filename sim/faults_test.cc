#include "sim/faults.h"

#include <gtest/gtest.h>

#include "sim/cli_args.h"
#include "sim/control.h"
#include "sim/hex.h"
#include "sim/simulated_mac.h"
#include "smc/smc_packet.h"
#include "tools/ampctl/tool_test_support.h"

namespace ampervale::sim {
namespace {

using ampervale::testing::Words;

// What a client sees of one exchange "KEY COMMAND SIZE [DATA]": the kernel's
// code or the firmware's "RESULT/WIDTH DATA" (the first four data bytes),
// then the key's value and the writes recorded. "battery" looks at the
// battery service instead.
std::string Observe(SimulatedMac& mac, const std::string& exchange) {
  if (exchange == "battery") {
    const PropertyAnswer maximum = mac.Property("MaxCapacity");
    if (!mac.BatteryServiceExists()) return "no battery";
    return "capacity tag " + std::to_string(maximum.tag) + ", " +
           std::to_string(maximum.integer);
  }
  std::vector<std::string> words = Words(exchange);
  NativeSMCPacket request(words[0], std::stoi(words[1]), std::stoi(words[2]),
                          *ParseHex(words.size() > 3 ? words[3] : ""));
  mac.smc().ClearWrites();
  SMCAnswer answer = mac.smc().Answer(request.bytes);
  std::string seen = "code " + std::to_string(answer.code);
  if (answer.reply.size() == request.bytes.size()) {
    request.bytes = answer.reply;
    auto data = request.bytes.begin() + NativeSMCPacket::kDataOffset;
    seen = std::to_string(request.bytes[NativeSMCPacket::kResultOffset]) + "/" +
           std::to_string(request.uint32(NativeSMCPacket::kDataSizeOffset)) +
           " " + ToHex({data, data + 4});
  }
  std::optional<std::vector<uint8_t>> value = mac.smc().Value(words[0]);
  seen += "; " + (value ? ToHex(*value) : "absent") + "; writes";
  for (const SMCWrite& write : mac.smc().writes()) {
    seen += " " + ToHex(write.bytes) + (write.stored ? "" : " dropped");
  }
  return seen;
}

// Rows without a fault are the machine's own answers. A fault goes in as the
// operator types it and goes again by its kind and target (its first two
// words), leaving the machine as it was.
TEST(SMCAnswerTest, AnswersByKeyAndCommandAndFault) {
  static const struct {
    std::string fault;
    std::string exchange;
    std::string seen;
  } cases[] = {
      {"", "bfD0 9 0", "0/4 00000000; 64000000; writes"},
      {"", "XXXX 9 0", "132/0 00000000; absent; writes"},
      // The request's stale data bytes must not leak into the reply.
      {"", "ACLC 5 1 77ee", "0/1 00000000; 00; writes"},
      {"", "XXXX 5 1", "132/1 00000000; absent; writes"},
      {"", "ACLC 6 1 04", "0/1 04000000; 04; writes 04"},
      {"", "ACLC 6 2 0400", "133/2 04000000; 00; writes"},
      {"", "XXXX 6 1 04", "132/1 04000000; absent; writes"},
      {"", "ACLC 7 1", "137/1 00000000; 00; writes"},
      {"", "battery", "capacity tag 1, 4500"},
      {"read-result ACLC 1", "ACLC 5 1", "1/1 00000000; 00; writes"},
      {"write-result ACLC 2", "ACLC 6 1 04", "2/1 04000000; 00; writes"},
      {"not-privileged ACLC 6", "ACLC 5 1", "0/1 00000000; 00; writes"},
      {"not-privileged", "XXXX 9 0", "code -536870207; absent; writes"},
      {"ignore-write ACLC", "ACLC 6 1 04",
       "0/1 04000000; 00; writes 04 dropped"},
      {"width bfD0 2", "bfD0 9 0", "0/2 00000000; 64000000; writes"},
      {"width bfD0 2", "bfD0 6 4 5a000000", "133/4 5a000000; 64000000; writes"},
      {"no-battery", "battery", "no battery"},
      {"capacity MaxCapacity text", "battery", "capacity tag 3, 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault + ", then " + c.exchange);
    SimulatedMac mac(BuiltInMachine("firmware"));
    std::vector<std::string> words = Words(c.fault);
    if (!words.empty()) {
      EXPECT_EQ(true, HandleControl(mac, FaultRequest(words, false))["ok"]);
    }
    EXPECT_EQ(c.seen, Observe(mac, c.exchange));
    if (words.empty()) continue;
    words.resize(std::min<size_t>(2, words.size()));
    EXPECT_EQ(1, HandleControl(mac, FaultRequest(words, true))["cleared"]);
    SimulatedMac fresh(BuiltInMachine("firmware"));
    EXPECT_EQ(Observe(fresh, c.exchange), Observe(mac, c.exchange));
  }
}

}  // namespace
}  // namespace ampervale::sim
