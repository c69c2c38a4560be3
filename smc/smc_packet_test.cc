#include "smc/smc_packet.h"

#include <gtest/gtest.h>

#include "common/native_control_error.h"

namespace ampervale {
namespace {

std::vector<uint8_t> Zeros(size_t n) { return std::vector<uint8_t>(n, 0); }

TEST(SMCPacketTest, LaysOutTheWorkedExample) {
  NativeSMCPacket packet("ACLC", kSMCWriteKey, 1, {0x04});
  std::vector<uint8_t> expected = Zeros(80);
  expected[0] = 0x43, expected[1] = 0x4C, expected[2] = 0x43;
  expected[3] = 0x41, expected[28] = 1, expected[42] = 6, expected[48] = 4;
  EXPECT_EQ(expected, packet.bytes);
  EXPECT_EQ(1u, packet.uint32(28));
  EXPECT_EQ(0x41434C43u, packet.uint32(0));
}

TEST(SMCPacketTest, AcceptsTheLimits) {
  std::vector<uint8_t> full(32);
  for (size_t i = 0; i < full.size(); ++i)
    full[i] = static_cast<uint8_t>(i + 1);
  NativeSMCPacket packet("    ", 0, 32, full);
  EXPECT_EQ(full, std::vector<uint8_t>(packet.bytes.begin() + 48,
                                       packet.bytes.end()));
  EXPECT_EQ(0x20202020u, packet.uint32(0));
  EXPECT_EQ(32u, packet.uint32(28));

  NativeSMCPacket empty("bfD0", kSMCReadKey, 4, {});
  EXPECT_EQ(Zeros(32),
            std::vector<uint8_t>(empty.bytes.begin() + 48, empty.bytes.end()));
}

TEST(SMCPacketTest, RefusesKeysSizesAndPayloadsOutsideTheBlock) {
  static const struct {
    const char* key;
    int64_t size;
    size_t payload;
  } cases[] = {
      {"ACL", 1, 0},
      {"ACLCX", 1, 0},
      {"AC\xC3\xA9", 1, 0},
      {"\x80"
       "ABC",
       1, 0},
      {"", 0, 0},
      {"ACLC", 33, 0},
      {"ACLC", -1, 0},
      {"ACLC", 1, 33},
  };
  for (const auto& c : cases) {
    try {
      NativeSMCPacket packet(c.key, kSMCWriteKey, c.size,
                             std::vector<uint8_t>(c.payload, 1));
      ADD_FAILURE() << "accepted key " << c.key << " size " << c.size
                    << " payload " << c.payload;
    } catch (const NativeControlError& error) {
      EXPECT_EQ("Invalid SMC key or payload size", error.description())
          << c.key;
    }
  }
}

}  // namespace
}  // namespace ampervale
