#include "sim/smc_model.h"

#include <gtest/gtest.h>

#include "sim/hex.h"
#include "smc/smc_packet.h"

namespace ampervale::sim {
namespace {

TEST(SMCModelTest, AnswersByKeyAndCommand) {
  static const struct {
    std::string key;
    uint8_t command;
    int64_t size;
    std::vector<uint8_t> payload;
    uint8_t result;
    uint32_t size_field;
    std::string data;  // the reply's bytes from 48 on
    std::string aclc_after;
    size_t writes_recorded;
  } cases[] = {
      {"ACLC", 9, 0, {}, 0, 1, "", "03", 0},
      {"bfD0", 9, 0, {}, 0, 4, "", "03", 0},
      {"XXXX", 9, 0, {}, 132, 0, "", "03", 0},
      {"bfD0", 5, 4, {}, 0, 4, "50000000", "03", 0},
      // The request's stale data bytes must not leak into the reply.
      {"ACLC", 5, 1, {0x77, 0xEE}, 0, 1, "0300", "03", 0},
      {"XXXX", 5, 1, {}, 132, 1, "", "03", 0},
      {"ACLC", 6, 1, {0x04}, 0, 1, "04", "04", 1},
      {"ACLC", 6, 2, {0x04, 0x00}, 133, 2, "0400", "03", 0},
      {"ACLC", 6, 0, {}, 133, 0, "", "03", 0},
      {"XXXX", 6, 1, {0x04}, 132, 1, "04", "03", 0},
      {"ACLC", 7, 1, {}, 137, 1, "", "03", 0},
      {"XXXX", 0, 0, {}, 137, 0, "", "03", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key + " command " + std::to_string(c.command));
    SMCModel model({{"ACLC", {0x03}}, {"bfD0", {0x50, 0x00, 0x00, 0x00}}});
    NativeSMCPacket reply("    ", 0, 0, {});
    SMCAnswer answer = model.Answer(
        NativeSMCPacket(c.key, c.command, c.size, c.payload).bytes);
    EXPECT_EQ(0, answer.code);
    EXPECT_FALSE(answer.disconnect);
    ASSERT_EQ(80u, answer.reply.size());
    reply.bytes = answer.reply;
    EXPECT_EQ(c.result, reply.bytes[NativeSMCPacket::kResultOffset]);
    EXPECT_EQ(c.size_field, reply.uint32(NativeSMCPacket::kDataSizeOffset));
    auto data = reply.bytes.begin() + NativeSMCPacket::kDataOffset;
    EXPECT_EQ(c.data, ToHex({data, data + c.data.size() / 2}));
    EXPECT_EQ(c.aclc_after, ToHex(*model.Value("ACLC")));
    EXPECT_EQ(c.writes_recorded, model.writes().size());
  }
}

}  // namespace
}  // namespace ampervale::sim
