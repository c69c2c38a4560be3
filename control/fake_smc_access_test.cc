#include "control/fake_smc_access.h"

#include <gtest/gtest.h>

namespace ampervale {
namespace {

using Bytes = std::vector<uint8_t>;
using Log = std::vector<std::string>;

TEST(FakeSMCAccessTest, LogsEveryAttemptAndFailsLikeTheTransport) {
  FakeSMCAccess smc({{"ACLC", {0x00}}, {"bfD0", {0, 0, 0, 0}}});
  smc.write("bfD0", {0x50, 0, 0, 0});
  EXPECT_EQ("SMC payload width mismatch for ACLC", ControlErrorOf([&] {
              smc.write("ACLC", {1, 2});
            }));
  EXPECT_EQ("SMC KEY command 9: request failed (IOKit 0x00000000, SMC 132)",
            ControlErrorOf([&] { smc.read("KEY"); }));
  EXPECT_EQ(Bytes({0x50, 0, 0, 0}), smc.read("bfD0"));
  EXPECT_EQ((Log{"write bfD0 50 00 00 00", "write ACLC 01 02", "read KEY",
                 "read bfD0"}),
            smc.log());
  EXPECT_EQ((Log{"write bfD0 50 00 00 00", "write ACLC 01 02"}), smc.writes());
  EXPECT_EQ(Bytes{0x00}, smc.value("ACLC"));
}

TEST(FakeSMCAccessTest, InjectedFaultsLastUntilCleared) {
  FakeSMCAccess smc({{"CH0B", {0x00}}, {"CH0C", {0x00}}, {"CHIE", {0x00}}});
  smc.failRead("CH0B", "no read");
  smc.failWrite("CH0C", "no write");
  smc.dropWrites("CHIE");
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ("no read", ControlErrorOf([&] { smc.read("CH0B"); }));
    EXPECT_EQ("no write", ControlErrorOf([&] { smc.write("CH0C", {2}); }));
    EXPECT_EQ("SMC write verification failed for CHIE",
              ControlErrorOf([&] { smc.write("CHIE", {8}); }));
  }
  EXPECT_EQ(FakeSMCAccess::KeyTable(
                {{"CH0B", {0x00}}, {"CH0C", {0x00}}, {"CHIE", {0x00}}}),
            smc.keys());
  smc.clearFaults();
  smc.write("CHIE", {8});
  EXPECT_EQ(Bytes{0x00}, smc.read("CH0B"));
  EXPECT_EQ(Bytes{0x08}, smc.value("CHIE"));
}

TEST(FakeSMCAccessTest, ChangesWidthAfterTheGivenNumberOfReads) {
  FakeSMCAccess smc({{"bfD0", {0x50, 0, 0, 0}}});
  smc.changeAfterReads("bfD0", 2, {0x50, 0});
  smc.write("bfD0", {0x51, 0, 0, 0});
  EXPECT_EQ(4u, smc.read("bfD0").size());
  EXPECT_EQ(4u, smc.read("bfD0").size());
  EXPECT_EQ(Bytes({0x50, 0}), smc.read("bfD0"));
  EXPECT_EQ(Bytes({0x50, 0}), smc.read("bfD0"));
}

}  // namespace
}  // namespace ampervale
