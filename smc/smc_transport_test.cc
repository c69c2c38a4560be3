#include "smc/smc_transport.h"

#include <gtest/gtest.h>

#include "control/fake_smc_access.h"
#include "sim/in_process.h"
#include "sim/smc_model.h"

namespace ampervale {
namespace {

using sim::FaultKind;
using Bytes = std::vector<uint8_t>;

// A fault that leaves every SMC exchange alone.
constexpr FaultKind kNone = FaultKind::kNoBattery;

// The transport over a simulated SMC, with every request block it sent.
struct Wire {
  sim::SMCModel model{{{"ACLC", {0x00}}, {"bfD0", {0x50, 0, 0, 0}}}};
  std::vector<Bytes> requests;
  size_t replySize = 80;
  PacketExchange answer = sim::InProcessExchange(model);
  NativeSMCTransport transport{[this](const NativeSMCPacket& request) {
    requests.push_back(request.bytes);
    NativeSMCPacket reply = answer(request);
    reply.bytes.resize(replySize);
    return reply;
  }};

  std::string Commands() const {
    std::string commands;
    for (const Bytes& request : requests) {
      commands += (commands.empty() ? "" : " ") + std::to_string(request[42]) +
                  "/" + std::to_string(request[28]);
    }
    return commands;
  }
};

// Each request block as "COMMAND/DATA SIZE": a real SMC may check the size
// that the simulated one ignores. A verified write is four exchanges;
// nothing is retried, and the transport stays usable after a failure. A
// reply block of another size than 80 bytes is a failure.
TEST(SMCTransportTest, ExchangesInOrderAndFailuresNameTheKey) {
  static const struct {
    FaultKind fault;
    uint8_t result;
    uint32_t width;
    const char* key;
    size_t written;  // bytes written, or 0 for a read
    const char *commands, *message;
    size_t replySize = 80;
  } cases[] = {
      {kNone, 0, 0, "bfD0", 4, "9/0 6/4 9/0 5/4", ""},
      {kNone, 0, 0, "ZZZZ", 0, "9/0",
       "SMC ZZZZ command 9: request failed (IOKit 0x00000000, SMC 132)"},
      {FaultKind::kReadResult, 1, 0, "ACLC", 0, "9/0 5/1",
       "SMC ACLC command 5: request failed (IOKit 0x00000000, SMC 1)"},
      {FaultKind::kWidth, 0, 0, "ACLC", 0, "9/0",
       "SMC key ACLC has no usable data; this firmware may be unsupported"},
      {FaultKind::kWidth, 0, 40, "ACLC", 1, "9/0",
       "SMC key ACLC has no usable data; this firmware may be unsupported"},
      {kNone, 0, 0, "ACLC", 2, "9/0", "SMC payload width mismatch for ACLC"},
      {kNone, 0, 0, "bfD0", 1, "9/0", "SMC payload width mismatch for bfD0"},
      {FaultKind::kIgnoreWrite, 0, 0, "ACLC", 1, "9/0 6/1 9/0 5/1",
       "SMC write verification failed for ACLC"},
      {FaultKind::kWriteResult, 133, 0, "ACLC", 1, "9/0 6/1",
       "SMC ACLC command 6: request failed (IOKit 0x00000000, SMC 133)"},
      {kNone, 0, 0, "ACL", 0, "", "Invalid SMC key or payload size"},
      {kNone, 0, 0, "ACLC", 0, "9/0",
       "SMC ACLC command 9: reply block of 79 bytes, expected 80", 79},
      {kNone, 0, 0, "ACLC", 0, "9/0",
       "SMC ACLC command 9: reply block of 81 bytes, expected 80", 81},
  };
  for (const auto& c : cases) {
    Wire wire;
    sim::Fault fault;
    fault.kind = c.fault, fault.key = "ACLC";
    fault.result = c.result, fault.width = c.width;
    wire.model.faults().Add(fault);
    wire.replySize = c.replySize;
    EXPECT_EQ(c.message, ControlErrorOf([&] {
                if (c.written == 0) wire.transport.read(c.key);
                wire.transport.write(c.key, Bytes(c.written, 1));
              }));
    EXPECT_EQ(c.commands, wire.Commands()) << c.message;
    wire.model.faults().Clear(std::nullopt, "");
    wire.replySize = 80;
    EXPECT_EQ(Bytes{0x00}, wire.transport.read("ACLC")) << c.message;
  }
}

}  // namespace
}  // namespace ampervale
