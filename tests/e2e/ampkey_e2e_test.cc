#include <gtest/gtest.h>

#include "tests/e2e/sandbox.h"

namespace ampervale::e2e {
namespace {

std::string Joined(const std::vector<std::string>& arguments) {
  std::string text;
  for (const auto& a : arguments) text += "[" + a + "]";
  return text;
}

// Malformed argument lists end with one line on standard error, exit 1 and
// nothing on standard output, for root and ordinary users alike, before any
// SMC is needed.
TEST(AmpkeyEndToEnd, BadArgumentsFailWithOneLine) {
  Sandbox sandbox;
  static const std::vector<std::string> cases[] = {
      {"-k"},
      {"-w", "04"},
      {"-r", "-k", "ACLC"},
      {"-k", "ACLC", "-w", "0x04"},
      {"-k", "ACLC", "-w", std::string(100000, 'f')},
      {"-k", "\xff\xfe", "-w", "04"},
      {"", "", ""},
      {"--version", "-k", "ACLC"},
  };
  for (uid_t uid : {kRoot, kOrdinaryUser}) {
    for (const auto& arguments : cases) {
      ProcessResult result = sandbox.Run("ampkey", arguments, uid);
      EXPECT_EQ(1, result.status) << Joined(arguments);
      EXPECT_EQ("", result.out) << Joined(arguments);
      ASSERT_FALSE(result.err.empty()) << Joined(arguments);
      EXPECT_EQ(result.err.size() - 1, result.err.find('\n'))
          << Joined(arguments) << result.err;
    }
  }
}

TEST(AmpkeyEndToEnd, WithoutASimulatedMacTheSMCIsUnavailable) {
  Sandbox sandbox;
  ProcessResult result = sandbox.Run("ampkey", {"-k", "ACLC"});
  EXPECT_EQ(1, result.status);
  EXPECT_EQ("AppleSMC is unavailable on this Mac\n", result.err);
}

TEST(AmpkeyEndToEnd, OrdinaryUserIsRefusedWritesBeforeTheSMCIsOpened) {
  // No simulator runs: a refusal that opened the SMC would say so instead.
  Sandbox sandbox;
  ProcessResult result =
      sandbox.Run("ampkey", {"-k", "ACLC", "-w", "03"}, kOrdinaryUser);
  EXPECT_EQ(1, result.status);
  EXPECT_EQ("Permission denied: use the Ampervale privileged helper\n",
            result.err);
  EXPECT_EQ("", result.out);
}

TEST(AmpkeyEndToEnd, HelpAndVersionForAnyUser) {
  Sandbox sandbox;
  for (uid_t uid : {kRoot, kOrdinaryUser}) {
    ProcessResult version = sandbox.Run("ampkey", {"--version"}, uid);
    EXPECT_EQ(0, version.status);
    EXPECT_EQ("Ampervale native backend 1.0.0\n", version.out);
    ProcessResult help = sandbox.Run("ampkey", {}, uid);
    EXPECT_EQ(0, help.status);
    EXPECT_EQ(3, std::count(help.out.begin(), help.out.end(), '\n'));
  }
}

}  // namespace
}  // namespace ampervale::e2e
