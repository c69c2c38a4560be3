#include "smc/smc_transport.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "sim/in_process.h"
#include "sim/smc_model.h"

namespace ampervale {
namespace {

using sim::FaultKind;

// The transport over a simulated SMC, with every request block it sent.
struct Wire {
  sim::SMCModel model{{{"ACLC", {0x00}}, {"bfD0", {0x50, 0, 0, 0}}}};
  std::vector<NativeSMCPacket> requests;
  PacketExchange answer = sim::InProcessExchange(model);
  NativeSMCTransport transport{[this](const NativeSMCPacket& request) {
    requests.push_back(request);
    return answer(request);
  }};

  std::vector<int> Commands() const {
    std::vector<int> commands;
    for (const auto& r : requests) commands.push_back(r.bytes[42]);
    return commands;
  }
};

// A fault on ACLC.
sim::Fault OnACLC(FaultKind kind, uint8_t result = 0, uint32_t width = 0) {
  sim::Fault fault;
  fault.kind = kind;
  fault.key = "ACLC";
  fault.result = result;
  fault.width = width;
  return fault;
}

std::string FailureOf(const std::function<void()>& step) {
  try {
    step();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "";
}

TEST(SMCTransportTest, ReadIsKeyInformationThenARequestOfThatWidth) {
  Wire wire;
  EXPECT_EQ((std::vector<uint8_t>{0x50, 0, 0, 0}), wire.transport.read("bfD0"));
  ASSERT_EQ(2u, wire.requests.size());
  EXPECT_EQ(NativeSMCPacket("bfD0", kSMCKeyInformation, 0, {}).bytes,
            wire.requests[0].bytes);
  EXPECT_EQ(NativeSMCPacket("bfD0", kSMCReadKey, 4, {}).bytes,
            wire.requests[1].bytes);
}

TEST(SMCTransportTest, VerifiedWriteIsFourExchanges) {
  Wire wire;
  wire.transport.write("ACLC", {0x04});
  EXPECT_EQ((std::vector<int>{9, 6, 9, 5}), wire.Commands());
  EXPECT_EQ(NativeSMCPacket("ACLC", kSMCWriteKey, 1, {0x04}).bytes,
            wire.requests[1].bytes);
  EXPECT_EQ(std::vector<uint8_t>{0x04}, wire.model.Value("ACLC"));
}

TEST(SMCTransportTest, FailuresNameTheKeyAndStopEarly) {
  static const struct {
    const char* name;
    std::optional<sim::Fault> fault;
    std::function<void(NativeSMCTransport&)> act;
    const char* message;
    std::vector<int> commands;
  } cases[] = {
      {"unknown key",
       {},
       [](auto& t) { t.read("ZZZZ"); },
       "SMC ZZZZ command 9: request failed (IOKit 0x00000000, SMC 132)",
       {9}},
      {"read refused",
       OnACLC(FaultKind::kReadResult, 1),
       [](auto& t) { t.read("ACLC"); },
       "SMC ACLC command 5: request failed (IOKit 0x00000000, SMC 1)",
       {9, 5}},
      {"size zero",
       OnACLC(FaultKind::kWidth, 0, 0),
       [](auto& t) { t.read("ACLC"); },
       "SMC key ACLC has no usable data; this firmware may be unsupported",
       {9}},
      {"size forty",
       OnACLC(FaultKind::kWidth, 0, 40),
       [](auto& t) { t.write("ACLC", {1}); },
       "SMC key ACLC has no usable data; this firmware may be unsupported",
       {9}},
      {"width mismatch",
       {},
       [](auto& t) {
         t.write("ACLC", {1, 2});
       },
       "SMC payload width mismatch for ACLC",
       {9}},
      {"write does not stick",
       OnACLC(FaultKind::kIgnoreWrite),
       [](auto& t) { t.write("ACLC", {1}); },
       "SMC write verification failed for ACLC",
       {9, 6, 9, 5}},
      {"write refused",
       OnACLC(FaultKind::kWriteResult, 133),
       [](auto& t) { t.write("ACLC", {1}); },
       "SMC ACLC command 6: request failed (IOKit 0x00000000, SMC 133)",
       {9, 6}},
      {"invalid key",
       {},
       [](auto& t) { t.read("ACL"); },
       "Invalid SMC key or payload size",
       {}},
  };
  for (const auto& c : cases) {
    Wire wire;
    if (c.fault) wire.model.faults().Add(*c.fault);
    EXPECT_EQ(c.message, FailureOf([&] { c.act(wire.transport); })) << c.name;
    EXPECT_EQ(c.commands, wire.Commands()) << c.name;
    // Nothing is retried and the transport stays usable.
    wire.model.faults().Clear(std::nullopt, "");
    EXPECT_EQ(std::vector<uint8_t>{0x00}, wire.transport.read("ACLC"))
        << c.name;
  }
}

TEST(SMCTransportTest, ExchangeFunctionsAreNotTrusted) {
  NativeSMCTransport throwing([](const NativeSMCPacket&) -> NativeSMCPacket {
    throw std::runtime_error("simulated bus fault");
  });
  EXPECT_EQ("simulated bus fault", FailureOf([&] { throwing.read("ACLC"); }));

  NativeSMCTransport short_reply([](const NativeSMCPacket& request) {
    NativeSMCPacket reply = request;
    reply.bytes.resize(79);
    return reply;
  });
  EXPECT_EQ("SMC ACLC command 9: reply block of 79 bytes, expected 80",
            FailureOf([&] { short_reply.read("ACLC"); }));
}

}  // namespace
}  // namespace ampervale
