// The controller over the real transport, with a small SMC behind the
// transport's exchange function.

#include <gtest/gtest.h>

#include "control/fake_smc_access.h"
#include "control/power_controller.h"
#include "smc/smc_transport.h"

namespace ampervale {
namespace {

using Packet = NativeSMCPacket;

// Answers from a key table (SMC result 132 for an unknown key) and records
// each request as "COMMAND KEY SIZE", a write followed by its payload.
struct WireSMC {
  FakeSMCAccess::KeyTable keys;
  std::string requests;

  Packet operator()(const Packet& request) {
    const std::vector<uint8_t>& block = request.bytes;
    const std::string key(block.rend() - 4, block.rend());
    const uint8_t command = block[Packet::kCommandOffset];
    const uint32_t size = request.uint32(Packet::kDataSizeOffset);
    requests +=
        "\n" + std::to_string(command) + " " + key + " " + std::to_string(size);
    Packet reply("    ", 0, 0, {});
    auto found = keys.find(key);
    if (found == keys.end()) {
      reply.bytes[Packet::kResultOffset] = 132;
    } else if (command == kSMCKeyInformation) {
      reply.setUInt32(found->second.size(), Packet::kDataSizeOffset);
    } else if (command == kSMCReadKey) {
      std::copy(found->second.begin(), found->second.end(),
                reply.bytes.begin() + Packet::kDataOffset);
    } else {
      found->second.assign(block.begin() + Packet::kDataOffset,
                           block.begin() + Packet::kDataOffset + size);
      for (uint8_t byte : found->second) requests += " " + std::to_string(byte);
    }
    return reply;
  }
};

TEST(ControllerOverTransportTest, FirmwareLimitSendsTheExpectedRequests) {
  WireSMC smc{FakeMachineKeys(NativePowerController::Mode::firmware), ""};
  NativePowerController controller(std::make_shared<NativeSMCTransport>(
      [&smc](const Packet& request) { return smc(request); }));
  smc.requests.clear();
  controller.applyLimit(80, std::nullopt);
  // Each read asks for the width first; each write is read back.
  const std::string checks =
      "\n9 bfF0 0\n5 bfF0 1\n9 bfD0 0\n5 bfD0 4"
      "\n9 bfE0 0\n5 bfE0 4";
  EXPECT_EQ(
      checks + checks +
          "\n9 bfF0 0\n5 bfF0 1"
          "\n9 bfD0 0\n5 bfD0 4\n9 bfD0 0\n6 bfD0 4 80 0 0 0"
          "\n9 bfD0 0\n5 bfD0 4"
          "\n9 bfE0 0\n5 bfE0 4\n9 bfE0 0\n6 bfE0 4 79 0 0 0"
          "\n9 bfE0 0\n5 bfE0 4"
          "\n9 bfF0 0\n5 bfF0 1\n9 bfF0 0\n6 bfF0 1 2\n9 bfF0 0\n5 bfF0 1",
      smc.requests);
  EXPECT_EQ((std::vector<uint8_t>{80, 0, 0, 0}), smc.keys["bfD0"]);
}

}  // namespace
}  // namespace ampervale
