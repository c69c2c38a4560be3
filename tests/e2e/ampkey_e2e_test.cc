#include <gtest/gtest.h>

#include "tests/e2e/sandbox.h"

namespace ampervale::e2e {
namespace {

std::string Joined(const std::vector<std::string>& arguments) {
  std::string text;
  for (const auto& a : arguments) text += "[" + a + "]";
  return text;
}

// No simulator runs: only what needs the SMC says it is unavailable.
TEST(AmpkeyEndToEnd, WithoutASimulatedMac) {
  Sandbox sandbox;
  static const struct {
    std::vector<std::string> arguments;
    uid_t uid;
    int status;
    const char* out;
    const char* err;
  } cases[] = {
      {{"-k", "ACLC"}, kRoot, 1, "", "AppleSMC is unavailable on this Mac\n"},
      {{"-k", "ACLC", "-w", "03"},
       kOrdinaryUser,
       1,
       "",
       "Permission denied: use the Ampervale privileged helper\n"},
      {{"--version"}, kOrdinaryUser, 0, "Ampervale native backend 1.0.0\n", ""},
  };
  for (const auto& c : cases) {
    ProcessResult result = sandbox.Run("ampkey", c.arguments, c.uid);
    EXPECT_EQ(c.status, result.status) << Joined(c.arguments);
    EXPECT_EQ(c.out, result.out) << Joined(c.arguments);
    EXPECT_EQ(c.err, result.err) << Joined(c.arguments);
  }
}

TEST(AmpkeyEndToEnd, ReadsAndWritesTheSimulatedSMC) {
  Sandbox sandbox;
  sandbox.StartSimulator();
  static const struct {
    std::vector<std::string> fault;  // an ampsim fault, or none
    std::vector<std::string> arguments;
    uid_t uid;
    std::string out;
    std::string err;
  } cases[] = {
      {{}, {"-k", "bfD0"}, kOrdinaryUser, "bfD0: 64000000\n", ""},
      {{}, {"-k", "ACLC", "-w", "+25"}, kRoot, "", ""},
      {{}, {"-k", "ACLC", "-r"}, kOrdinaryUser, "ACLC: 25\n", ""},
      {{},
       {"-k", "ZZZZ"},
       kRoot,
       "",
       "SMC ZZZZ command 9: request failed (IOKit 0x00000000, SMC 132)\n"},
      {{"ignore-write", "ACLC"},
       {"-k", "ACLC", "-w", "03"},
       kRoot,
       "",
       "SMC write verification failed for ACLC\n"},
      {{"not-privileged", "ACLC", "6"},
       {"-k", "ACLC", "-w", "04"},
       kRoot,
       "",
       "SMC ACLC command 6: permission denied by SMC (root access may be "
       "insufficient) (IOKit 0xe00002c1, SMC 0)\n"},
      {{"refuse-open"},
       {"-k", "ACLC"},
       kRoot,
       "",
       "Cannot open AppleSMC (IOKit -536870207); use the privileged helper\n"},
  };
  for (const auto& c : cases) {
    sandbox.Simulator({"fault", "--clear"});
    if (!c.fault.empty()) {
      std::vector<std::string> fault = {"fault"};
      fault.insert(fault.end(), c.fault.begin(), c.fault.end());
      ASSERT_EQ(0, sandbox.Simulator(fault).status) << Joined(c.fault);
    }
    ProcessResult result = sandbox.Run("ampkey", c.arguments, c.uid);
    EXPECT_EQ(c.out, result.out) << Joined(c.arguments);
    EXPECT_EQ(c.err, result.err) << Joined(c.arguments);
    EXPECT_EQ(c.err.empty() ? 0 : 1, result.status) << Joined(c.arguments);
  }
  EXPECT_EQ("25\n", sandbox.Simulator({"key", "ACLC"}).out);
}

}  // namespace
}  // namespace ampervale::e2e
