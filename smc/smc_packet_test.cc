#include "smc/smc_packet.h"

#include <gtest/gtest.h>

#include "control/fake_smc_access.h"

namespace ampervale {
namespace {

TEST(SMCPacketTest, LaysOutKeySizeCommandAndPayload) {
  NativeSMCPacket packet("ACLC", kSMCWriteKey, 1, {0x04});
  std::vector<uint8_t> expected(80, 0);
  expected[0] = 0x43, expected[1] = 0x4C, expected[2] = 0x43;
  expected[3] = 0x41, expected[28] = 1, expected[42] = 6, expected[48] = 4;
  EXPECT_EQ(expected, packet.bytes);
  EXPECT_EQ(0x41434C43u, packet.uint32(0));
}

TEST(SMCPacketTest, KeysSizesAndPayloadsMustFitTheBlock) {
  static const struct {
    const char* key;
    int64_t size;
    size_t payload;
    bool valid;
  } cases[] = {
      {"    ", 32, 32, true}, {"bfD0", 0, 0, true},     {"ACL", 1, 0, false},
      {"ACLCX", 1, 0, false}, {"\x80XYZ", 1, 0, false}, {"", 0, 0, false},
      {"ACLC", 33, 0, false}, {"ACLC", -1, 0, false},   {"ACLC", 1, 33, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.valid ? "" : "Invalid SMC key or payload size",
              ControlErrorOf([&] {
                NativeSMCPacket(c.key, kSMCWriteKey, c.size,
                                std::vector<uint8_t>(c.payload, 7));
              }))
        << c.key << " size " << c.size << " payload " << c.payload;
  }
}

}  // namespace
}  // namespace ampervale
