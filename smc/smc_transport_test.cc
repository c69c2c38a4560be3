#include "smc/smc_transport.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>

#include "common/native_control_error.h"

namespace ampervale {
namespace {

// An SMC in the test's hands: keys with values, a log of every request
// block, and knobs to make a reply go wrong.
struct ScriptedSMC {
  std::map<std::string, std::vector<uint8_t>> keys;
  std::vector<NativeSMCPacket> requests;
  std::map<std::string, uint32_t> reported_width;
  std::map<std::pair<std::string, uint8_t>, uint8_t> result_byte;
  bool writes_stick = true;
  size_t reply_size = 80;

  PacketExchange Exchange() {
    return [this](const NativeSMCPacket& request) { return Answer(request); };
  }

  NativeSMCPacket Answer(const NativeSMCPacket& request) {
    requests.push_back(request);
    std::string key(request.bytes.begin(), request.bytes.begin() + 4);
    key = std::string(key.rbegin(), key.rend());
    uint8_t command = request.bytes[42];
    NativeSMCPacket reply("    ", 0, 0, {});
    reply.bytes.resize(reply_size);
    if (auto it = result_byte.find({key, command}); it != result_byte.end()) {
      reply.bytes[40] = it->second;
      return reply;
    }
    auto& value = keys.at(key);
    if (command == kSMCKeyInformation) {
      auto width = reported_width.count(key)
                       ? reported_width[key]
                       : static_cast<uint32_t>(value.size());
      reply.setUInt32(width, 28);
    } else if (command == kSMCReadKey) {
      std::copy(value.begin(), value.end(), reply.bytes.begin() + 48);
    } else if (command == kSMCWriteKey && writes_stick) {
      value.assign(request.bytes.begin() + 48,
                   request.bytes.begin() + 48 + value.size());
    }
    return reply;
  }

  std::vector<uint8_t> Commands() const {
    std::vector<uint8_t> commands;
    for (const auto& r : requests) commands.push_back(r.bytes[42]);
    return commands;
  }
};

std::string FailureOf(const std::function<void()>& step) {
  try {
    step();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "";
}

TEST(SMCTransportTest, ReadAsksTheSizeThenReadsExactlyThatWidth) {
  ScriptedSMC smc;
  smc.keys["bfD0"] = {0x50, 0, 0, 0};
  NativeSMCTransport transport(smc.Exchange());
  EXPECT_EQ((std::vector<uint8_t>{0x50, 0, 0, 0}), transport.read("bfD0"));

  ASSERT_EQ(2u, smc.requests.size());
  EXPECT_EQ(NativeSMCPacket("bfD0", kSMCKeyInformation, 0, {}).bytes,
            smc.requests[0].bytes);
  EXPECT_EQ(NativeSMCPacket("bfD0", kSMCReadKey, 4, {}).bytes,
            smc.requests[1].bytes);
}

TEST(SMCTransportTest, VerifiedWriteIsFourExchanges) {
  ScriptedSMC smc;
  smc.keys["ACLC"] = {0x00};
  NativeSMCTransport transport(smc.Exchange());
  transport.write("ACLC", {0x04});

  EXPECT_EQ((std::vector<uint8_t>{9, 6, 9, 5}), smc.Commands());
  EXPECT_EQ(NativeSMCPacket("ACLC", kSMCWriteKey, 1, {0x04}).bytes,
            smc.requests[1].bytes);
  EXPECT_EQ(std::vector<uint8_t>{0x04}, smc.keys["ACLC"]);
}

TEST(SMCTransportTest, Failures) {
  static const struct {
    const char* name;
    std::function<void(ScriptedSMC&)> arrange;
    std::function<void(NativeSMCTransport&)> act;
    const char* message;
    std::vector<uint8_t> commands;
  } cases[] = {
      {"unknown key",
       [](ScriptedSMC& s) {
         s.result_byte[{"ZZZZ", 9}] = 132;
       },
       [](NativeSMCTransport& t) { t.read("ZZZZ"); },
       "SMC ZZZZ command 9: request failed (IOKit 0x00000000, SMC 132)",
       {9}},
      {"read refused",
       [](ScriptedSMC& s) {
         s.result_byte[{"ACLC", 5}] = 1;
       },
       [](NativeSMCTransport& t) { t.read("ACLC"); },
       "SMC ACLC command 5: request failed (IOKit 0x00000000, SMC 1)",
       {9, 5}},
      {"size zero",
       [](ScriptedSMC& s) { s.reported_width["ACLC"] = 0; },
       [](NativeSMCTransport& t) { t.read("ACLC"); },
       "SMC key ACLC has no usable data; this firmware may be unsupported",
       {9}},
      {"size forty",
       [](ScriptedSMC& s) { s.reported_width["ACLC"] = 40; },
       [](NativeSMCTransport& t) { t.write("ACLC", {1}); },
       "SMC key ACLC has no usable data; this firmware may be unsupported",
       {9}},
      {"width mismatch",
       [](ScriptedSMC&) {},
       [](NativeSMCTransport& t) {
         t.write("ACLC", {1, 2});
       },
       "SMC payload width mismatch for ACLC",
       {9}},
      {"write does not stick",
       [](ScriptedSMC& s) { s.writes_stick = false; },
       [](NativeSMCTransport& t) { t.write("ACLC", {1}); },
       "SMC write verification failed for ACLC",
       {9, 6, 9, 5}},
      {"write refused",
       [](ScriptedSMC& s) {
         s.result_byte[{"ACLC", 6}] = 133;
       },
       [](NativeSMCTransport& t) { t.write("ACLC", {1}); },
       "SMC ACLC command 6: request failed (IOKit 0x00000000, SMC 133)",
       {9, 6}},
      {"short reply",
       [](ScriptedSMC& s) { s.reply_size = 79; },
       [](NativeSMCTransport& t) { t.read("ACLC"); },
       "SMC ACLC command 9: reply block of 79 bytes, expected 80",
       {9}},
      {"invalid key",
       [](ScriptedSMC&) {},
       [](NativeSMCTransport& t) { t.read("ACL"); },
       "Invalid SMC key or payload size",
       {}},
  };
  for (const auto& c : cases) {
    ScriptedSMC smc;
    smc.keys["ACLC"] = {0x00};
    c.arrange(smc);
    NativeSMCTransport transport(smc.Exchange());
    EXPECT_EQ(c.message, FailureOf([&] { c.act(transport); })) << c.name;
    EXPECT_EQ(c.commands, smc.Commands()) << c.name;
  }
}

TEST(SMCTransportTest, ExchangeErrorsPassThroughUnchanged) {
  NativeSMCTransport transport([](const NativeSMCPacket&) -> NativeSMCPacket {
    throw std::runtime_error("simulated bus fault");
  });
  EXPECT_EQ("simulated bus fault", FailureOf([&] { transport.read("ACLC"); }));
}

TEST(SMCTransportTest, StaysUsableAfterAFailure) {
  ScriptedSMC smc;
  smc.keys["ACLC"] = {0x03};
  NativeSMCTransport transport(smc.Exchange());
  EXPECT_NE("", FailureOf([&] { transport.write("ACLC", {1, 2}); }));
  EXPECT_EQ(std::vector<uint8_t>{0x03}, transport.read("ACLC"));
}

}  // namespace
}  // namespace ampervale
