// The controller over the real transport, with a small SMC behind the
// transport's exchange function: what goes over the wire, and that the
// fake's failure texts are the transport's.

#include <gtest/gtest.h>

#include <cstdio>
#include <set>

#include "control/fake_smc_access.h"
#include "control/power_controller.h"
#include "smc/smc_transport.h"

namespace ampervale {
namespace {

using Mode = NativePowerController::Mode;
using Log = std::vector<std::string>;

constexpr uint8_t kKeyNotFound = 132;
constexpr uint8_t kWrongSize = 133;

// Answers key information, reads and writes from a key table, and records
// every request as "info KEY", "read KEY SIZE" or "write KEY HH ...".
struct WireSMC {
  explicit WireSMC(std::map<std::string, std::vector<uint8_t>> initial)
      : keys(std::move(initial)) {}

  std::map<std::string, std::vector<uint8_t>> keys;
  std::set<std::string> ignoredWrites;
  Log requests;

  NativeSMCPacket operator()(const NativeSMCPacket& request) {
    std::string key;
    for (int i = 3; i >= 0; --i)
      key.push_back(static_cast<char>(request.bytes[i]));
    uint8_t command = request.bytes[NativeSMCPacket::kCommandOffset];
    uint32_t size = request.uint32(NativeSMCPacket::kDataSizeOffset);
    auto data = request.bytes.begin() + NativeSMCPacket::kDataOffset;
    std::vector<uint8_t> payload(data, data + size);
    requests.push_back(Describe(command, key, size, payload));

    NativeSMCPacket reply("    ", 0, 0, {});
    auto found = keys.find(key);
    if (found == keys.end()) {
      reply.bytes[NativeSMCPacket::kResultOffset] = kKeyNotFound;
    } else if (command == kSMCKeyInformation) {
      reply.setUInt32(found->second.size(), NativeSMCPacket::kDataSizeOffset);
    } else if (command == kSMCReadKey) {
      std::copy(found->second.begin(), found->second.end(),
                reply.bytes.begin() + NativeSMCPacket::kDataOffset);
    } else if (size != found->second.size()) {
      reply.bytes[NativeSMCPacket::kResultOffset] = kWrongSize;
    } else if (!ignoredWrites.contains(key)) {
      found->second = payload;
    }
    return reply;
  }

  static std::string Describe(uint8_t command, const std::string& key,
                              uint32_t size,
                              const std::vector<uint8_t>& payload) {
    if (command == kSMCKeyInformation) return "info " + key;
    if (command == kSMCReadKey)
      return "read " + key + " " + std::to_string(size);
    std::string text = "write " + key;
    for (uint8_t byte : payload) {
      char digits[4];
      std::snprintf(digits, sizeof digits, " %02x", byte);
      text += digits;
    }
    return text;
  }
};

std::shared_ptr<NativeSMCTransport> TransportOver(WireSMC& smc) {
  return std::make_shared<NativeSMCTransport>(
      [&smc](const NativeSMCPacket& request) { return smc(request); });
}

Log Read(const std::string& key, int size) {
  return {"info " + key, "read " + key + " " + std::to_string(size)};
}

Log Write(const std::string& key, const std::string& bytes, int size) {
  return {"info " + key, "write " + key + " " + bytes, "info " + key,
          "read " + key + " " + std::to_string(size)};
}

Log Concat(std::initializer_list<Log> parts) {
  Log all;
  for (const Log& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST(ControllerOverTransportTest, FirmwareLimitSendsTheExpectedRequests) {
  WireSMC smc(FakeMachineKeys(Mode::firmware));
  NativePowerController controller(TransportOver(smc));
  ASSERT_EQ(Mode::firmware, controller.mode());
  smc.requests.clear();

  controller.applyLimit(80, std::nullopt);

  Log checks = Concat({Read("bfF0", 1), Read("bfD0", 4), Read("bfE0", 4)});
  EXPECT_EQ(Concat({checks, checks, Read("bfF0", 1), Read("bfD0", 4),
                    Write("bfD0", "50 00 00 00", 4), Read("bfE0", 4),
                    Write("bfE0", "4f 00 00 00", 4), Read("bfF0", 1),
                    Write("bfF0", "02", 1)}),
            smc.requests);

  smc.requests.clear();
  controller.applyLimit(80, std::nullopt);
  EXPECT_EQ(Concat({checks, checks}), smc.requests);
}

TEST(ControllerOverTransportTest, ProbeTextsMatchTheFakes) {
  WireSMC smc({{"CH0B", {0x00}},
               {"CH0C", {0x00}},
               {"CH0I", {0x00, 0x00}},
               {"CHIE", {0x00}}});
  NativePowerController controller(TransportOver(smc));
  EXPECT_EQ(Mode::legacyPair, controller.mode());
  EXPECT_EQ("CHIE", controller.adapterKey());
  EXPECT_EQ(MissingKeyText("bfF0"),
            controller.capabilityDiagnostics().at("bfF0"));
  EXPECT_EQ("unexpected payload width 2, expected 1",
            controller.capabilityDiagnostics().at("CH0I"));
  // An unknown key costs only the key-information request.
  EXPECT_EQ(Concat({{"info bfF0", "info bfD0", "info bfE0"},
                    Read("CH0B", 1),
                    Read("CH0C", 1),
                    {"info CHTE"},
                    Read("CH0I", 2),
                    {"info CH0J"},
                    Read("CHIE", 1),
                    {"info ACLC"}}),
            smc.requests);
}

TEST(ControllerOverTransportTest, LegacyPairRollbackOverTheWire) {
  WireSMC smc(FakeMachineKeys(Mode::legacyPair));
  smc.ignoredWrites.insert("CH0C");
  NativePowerController controller(TransportOver(smc));
  smc.requests.clear();

  EXPECT_EQ("SMC write verification failed for CH0C",
            ControlErrorOf([&] { controller.applyLimit(80, 80); }));
  EXPECT_EQ(Concat({Read("CH0B", 1), Read("CH0C", 1), Read("CH0B", 1),
                    Read("CH0B", 1), Write("CH0B", "02", 1), Read("CH0C", 1),
                    Write("CH0C", "02", 1), Write("CH0B", "00", 1)}),
            smc.requests);
  EXPECT_EQ(FakeMachineKeys(Mode::legacyPair), smc.keys);
}

}  // namespace
}  // namespace ampervale
