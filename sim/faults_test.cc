#include "sim/faults.h"

#include <gtest/gtest.h>

#include <sstream>

#include "sim/cli_args.h"
#include "sim/control.h"
#include "sim/hex.h"
#include "sim/simulated_mac.h"
#include "smc/smc_packet.h"

namespace ampervale::sim {
namespace {

std::vector<std::string> Words(const std::string& text) {
  std::istringstream stream(text);
  std::vector<std::string> words;
  for (std::string word; stream >> word;) words.push_back(word);
  return words;
}

std::string PropertyText(const PropertyAnswer& answer) {
  if (answer.tag == PropertyAnswer::kInteger) {
    return std::to_string(answer.integer);
  }
  return answer.tag == PropertyAnswer::kNotNumber ? "text" : "missing";
}

// What a client reads from one exchange: the kernel's answer or the
// firmware's result and width.
std::string ExchangeText(const NativeSMCPacket& request,
                         const SMCAnswer& answer) {
  if (answer.disconnect) return "disconnect";
  if (answer.reply.empty()) return "code " + std::to_string(answer.code);
  NativeSMCPacket reply = request;
  reply.bytes = answer.reply;
  return "result " +
         std::to_string(reply.bytes[NativeSMCPacket::kResultOffset]) +
         ", width " +
         std::to_string(reply.uint32(NativeSMCPacket::kDataSizeOffset));
}

// What clients of the machine see, part by part: one SMC exchange ("KEY
// COMMAND SIZE") and what it left behind, the open greeting and the
// battery service.
std::vector<std::string> Observe(SimulatedMac& mac, const std::string& text) {
  std::vector<std::string> words = Words(text);
  const std::string& key = words[0];
  NativeSMCPacket request(key, std::stoi(words[1]), std::stoi(words[2]),
                          {0x04, 0, 0, 0});
  mac.smc().ClearWrites();
  std::vector<std::string> seen{
      ExchangeText(request, mac.smc().Answer(request.bytes))};
  std::optional<std::vector<uint8_t>> value = mac.smc().Value(key);
  seen.push_back(key + " " + (value ? ToHex(*value) : "absent"));
  std::string writes = "writes";
  for (const SMCWrite& write : mac.smc().writes()) {
    writes += ' ';
    writes += ToHex(write.bytes);
    if (!write.stored) writes += " dropped";
  }
  seen.push_back(writes);
  std::optional<int32_t> refusal = mac.smc().OpenRefusal();
  seen.push_back("open " + (refusal ? std::to_string(*refusal) : "ok"));
  bool battery = mac.BatteryServiceExists();
  seen.push_back(
      !battery ? "no battery"
               : "capacity " + PropertyText(mac.Property("CurrentCapacity")) +
                     "/" + PropertyText(mac.Property("MaxCapacity")));
  return seen;
}

// The parts in which `mac` differs from a machine without faults.
std::string Changes(SimulatedMac& mac, const std::string& exchange) {
  SimulatedMac fresh(BuiltInMachine("firmware"));
  std::vector<std::string> expected = Observe(fresh, exchange);
  std::vector<std::string> seen = Observe(mac, exchange);
  std::string changes;
  for (size_t i = 0; i < seen.size(); ++i) {
    if (seen[i] != expected[i])
      changes += (changes.empty() ? "" : "; ") + seen[i];
  }
  return changes;
}

// Each fault goes in as the operator types it and goes again by its kind
// and target (its first two words).
TEST(FaultTest, EachKindChangesOnlyWhatItNames) {
  static const struct {
    std::string fault;
    std::string exchange;
    std::string changes;
  } cases[] = {
      {"read-result ACLC 1", "ACLC 5 1", "result 1, width 1"},
      {"read-result ACLC 1", "ACLC 9 0", ""},
      {"write-result ACLC 2", "ACLC 6 1", "result 2, width 1; ACLC 00; writes"},
      {"not-privileged ACLC 6", "ACLC 6 1", "code -536870207; ACLC 00; writes"},
      {"not-privileged ACLC 6", "ACLC 5 1", ""},
      {"not-privileged", "XXXX 9 0", "code -536870207"},
      {"ignore-write ACLC", "ACLC 6 1", "ACLC 00; writes 04 dropped"},
      {"width bfD0 2", "bfD0 9 0", "result 0, width 2"},
      {"width bfD0 2", "bfD0 6 4",
       "result 133, width 4; bfD0 64000000; writes"},
      {"disconnect ACLC", "ACLC 5 1", "disconnect"},
      {"refuse-open", "ACLC 9 0", "open -536870207"},
      {"no-battery", "ACLC 9 0", "no battery"},
      {"capacity MaxCapacity text", "ACLC 9 0", "capacity 2250/text"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault + ", then " + c.exchange);
    std::vector<std::string> words = Words(c.fault);
    SimulatedMac mac(BuiltInMachine("firmware"));
    EXPECT_EQ(true, HandleControl(mac, FaultRequest(words, false))["ok"]);
    EXPECT_EQ(c.changes, Changes(mac, c.exchange));
    words.resize(std::min<size_t>(2, words.size()));
    EXPECT_EQ(1, HandleControl(mac, FaultRequest(words, true))["cleared"]);
    EXPECT_EQ("", Changes(mac, c.exchange));
  }
}

}  // namespace
}  // namespace ampervale::sim
