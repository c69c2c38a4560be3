#include "sim/smc_model.h"

#include <gtest/gtest.h>

#include "platform/io_return.h"
#include "sim/hex.h"
#include "smc/smc_packet.h"

namespace ampervale::sim {
namespace {

std::vector<uint8_t> Request(const std::string& key, uint8_t command,
                             int64_t size, std::vector<uint8_t> payload = {}) {
  return NativeSMCPacket(key, command, size, payload).bytes;
}

uint32_t SizeField(const std::vector<uint8_t>& reply) {
  NativeSMCPacket packet("    ", 0, 0, {});
  packet.bytes = reply;
  return packet.uint32(NativeSMCPacket::kDataSizeOffset);
}

SMCModel Machine() {
  return SMCModel({{"ACLC", {0x03}}, {"bfD0", {0x50, 0x00, 0x00, 0x00}}});
}

TEST(SMCModelTest, AnswersByKeyAndCommand) {
  static const struct {
    std::string key;
    uint8_t command;
    int64_t size;
    std::vector<uint8_t> payload;
    uint8_t result;
    uint32_t size_field;  // checked for key information
    std::string data;     // the reply's data bytes 48..
    std::string aclc_after;
  } cases[] = {
      {"ACLC", 9, 0, {}, 0, 1, "", "03"},
      {"bfD0", 9, 0, {}, 0, 4, "", "03"},
      {"XXXX", 9, 0, {}, 132, 0, "", "03"},
      {"ACLC", 5, 1, {}, 0, 1, "03", "03"},
      {"bfD0", 5, 4, {}, 0, 4, "50000000", "03"},
      {"XXXX", 5, 1, {}, 132, 1, "", "03"},
      {"ACLC", 6, 1, {0x04}, 0, 1, "04", "04"},
      {"ACLC", 6, 2, {0x04, 0x00}, 133, 2, "0400", "03"},
      {"ACLC", 6, 0, {}, 133, 0, "", "03"},
      {"XXXX", 6, 1, {0x04}, 132, 1, "04", "03"},
      {"ACLC", 7, 1, {}, 137, 1, "", "03"},
      {"XXXX", 0, 0, {}, 137, 0, "", "03"},
      {"ACLC", 255, 0, {}, 137, 0, "", "03"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key + " command " + std::to_string(c.command));
    SMCModel model = Machine();
    SMCAnswer answer =
        model.Answer(Request(c.key, c.command, c.size, c.payload));
    ASSERT_EQ(80u, answer.reply.size());
    EXPECT_EQ(platform::kIOReturnSuccess, answer.code);
    EXPECT_FALSE(answer.disconnect);
    EXPECT_EQ(c.result, answer.reply[NativeSMCPacket::kResultOffset]);
    EXPECT_EQ(c.size_field, SizeField(answer.reply));
    std::vector<uint8_t> data(answer.reply.begin() + 48,
                              answer.reply.begin() + 48 + c.data.size() / 2);
    EXPECT_EQ(c.data, ToHex(data));
    EXPECT_EQ(c.aclc_after, ToHex(*model.Value("ACLC")));
  }
}

TEST(SMCModelTest, ReadClearsTheDataBytesAfterTheValue) {
  SMCModel model = Machine();
  std::vector<uint8_t> request = Request("ACLC", kSMCReadKey, 1);
  request[49] = 0xEE;
  SMCAnswer answer = model.Answer(request);
  EXPECT_EQ(0x03, answer.reply[48]);
  EXPECT_EQ(0x00, answer.reply[49]);
}

TEST(SMCModelTest, RecordsAcceptedWritesOnlyInOrderWithTheirTime) {
  SMCModel model = Machine();
  model.set_now(12.5);
  model.Answer(Request("ACLC", kSMCWriteKey, 1, {0x04}));
  model.Answer(Request("ACLC", kSMCWriteKey, 2, {0x04, 0x00}));  // 133
  model.Answer(Request("XXXX", kSMCWriteKey, 1, {0x01}));        // 132
  model.set_now(20);
  model.Answer(Request("bfD0", kSMCWriteKey, 4, {0x4F, 0, 0, 0}));
  ASSERT_EQ(2u, model.writes().size());
  EXPECT_EQ(12.5, model.writes()[0].time);
  EXPECT_EQ("ACLC", model.writes()[0].key);
  EXPECT_EQ("04", ToHex(model.writes()[0].bytes));
  EXPECT_EQ(20, model.writes()[1].time);
  EXPECT_EQ("4f000000", ToHex(model.writes()[1].bytes));
  model.ClearWrites();
  EXPECT_TRUE(model.writes().empty());
}

Fault KeyFault(FaultKind kind, const std::string& key,
               std::optional<uint8_t> command = std::nullopt) {
  Fault fault;
  fault.kind = kind;
  fault.key = key;
  fault.command = command;
  return fault;
}

TEST(SMCModelTest, FaultsChangeTheAnswer) {
  Fault read_result = KeyFault(FaultKind::kReadResult, "ACLC", kSMCReadKey);
  read_result.result = 1;
  Fault write_result = KeyFault(FaultKind::kWriteResult, "ACLC", kSMCWriteKey);
  write_result.result = 2;
  Fault width = KeyFault(FaultKind::kWidth, "bfD0");
  width.width = 2;
  static const struct {
    const char* name;
    Fault fault;
    std::string key;
    uint8_t command;
    int64_t size;
    int32_t code;
    int result;  // -1: no reply block
    bool disconnect;
    std::string aclc_after;
  } cases[] = {
      {"read result", read_result, "ACLC", 5, 1, 0, 1, false, "03"},
      {"read result spares key information", read_result, "ACLC", 9, 0, 0, 0,
       false, "03"},
      {"write result", write_result, "ACLC", 6, 1, 0, 2, false, "03"},
      {"write result on an unknown key", write_result, "XXXX", 6, 1, 0, 132,
       false, "03"},
      {"not privileged", KeyFault(FaultKind::kNotPrivileged, "ACLC", 6), "ACLC",
       6, 1, platform::kIOReturnNotPrivileged, -1, false, "03"},
      {"not privileged spares other commands",
       KeyFault(FaultKind::kNotPrivileged, "ACLC", 6), "ACLC", 5, 1, 0, 0,
       false, "03"},
      {"not privileged for every key", KeyFault(FaultKind::kNotPrivileged, ""),
       "XXXX", 9, 0, platform::kIOReturnNotPrivileged, -1, false, "03"},
      {"ignored write", KeyFault(FaultKind::kIgnoreWrite, "ACLC", 6), "ACLC", 6,
       1, 0, 0, false, "03"},
      {"width refuses the real width", width, "bfD0", 6, 4, 0, 133, false,
       "03"},
      {"disconnect", KeyFault(FaultKind::kDisconnect, "ACLC", 5), "ACLC", 5, 1,
       0, -1, true, "03"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SMCModel model = Machine();
    model.faults().Add(c.fault);
    SMCAnswer answer = model.Answer(Request(c.key, c.command, c.size, {0x04}));
    EXPECT_EQ(c.code, answer.code);
    EXPECT_EQ(c.disconnect, answer.disconnect);
    if (c.result < 0) {
      EXPECT_TRUE(answer.reply.empty());
    } else {
      ASSERT_EQ(80u, answer.reply.size());
      EXPECT_EQ(c.result, answer.reply[NativeSMCPacket::kResultOffset]);
    }
    EXPECT_EQ(c.aclc_after, ToHex(*model.Value("ACLC")));
  }
}

TEST(SMCModelTest, IgnoredWriteIsRecordedAsNotStored) {
  SMCModel model = Machine();
  model.faults().Add(KeyFault(FaultKind::kIgnoreWrite, "ACLC", 6));
  model.Answer(Request("ACLC", kSMCWriteKey, 1, {0x04}));
  ASSERT_EQ(1u, model.writes().size());
  EXPECT_FALSE(model.writes()[0].stored);
  EXPECT_EQ("04", ToHex(model.writes()[0].bytes));
}

TEST(SMCModelTest, WidthFaultReportsItsWidthAndStoresWritesOfIt) {
  SMCModel model = Machine();
  Fault width = KeyFault(FaultKind::kWidth, "bfD0");
  width.width = 2;
  model.faults().Add(width);
  EXPECT_EQ(2u, SizeField(model.Answer(Request("bfD0", 9, 0)).reply));
  model.Answer(Request("bfD0", kSMCWriteKey, 2, {0x1E, 0x00}));
  EXPECT_EQ("1e00", ToHex(*model.Value("bfD0")));
}

TEST(SMCModelTest, RefusedOpenCarriesItsCodeEvenZero) {
  SMCModel model = Machine();
  EXPECT_EQ(std::nullopt, model.OpenRefusal());
  Fault refuse;
  refuse.kind = FaultKind::kRefuseOpen;
  refuse.code = 0;
  model.faults().Add(refuse);
  EXPECT_EQ(0, model.OpenRefusal());
  refuse.code = platform::kIOReturnNotPrivileged;
  model.faults().Add(refuse);  // replaces the first
  EXPECT_EQ(platform::kIOReturnNotPrivileged, model.OpenRefusal());
  EXPECT_EQ(1u, model.faults().all().size());
}

}  // namespace
}  // namespace ampervale::sim
