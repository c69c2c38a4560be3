#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "tests/e2e/sandbox.h"

namespace ampervale::e2e {
namespace {

std::vector<std::string> Words(const std::string& text) {
  std::istringstream stream(text);
  std::vector<std::string> words;
  for (std::string word; stream >> word;) words.push_back(word);
  return words;
}

// Before the simulated Mac starts, only what needs the SMC says it is
// unavailable; once it runs, its refusals reach the user as they are. A
// limit without the daemon changes nothing.
TEST(AmpkeyEndToEnd, ReadsAndWritesTheSimulatedSMC) {
  static const struct {
    const char* fault;  // an ampsim fault; nullptr: no simulator yet
    const char* command;
    uid_t uid;
    const char* out;
    const char* err;
  } cases[] = {
      {nullptr, "ampkey -k ACLC", kRoot, "",
       "AppleSMC is unavailable on this Mac\n"},
      {nullptr, "ampkey -k ACLC -w 03", kOrdinaryUser, "",
       "Permission denied: use the Ampervale privileged helper\n"},
      {nullptr, "ampkey --version", kOrdinaryUser,
       "Ampervale native backend 1.0.0\n", ""},
      {"", "ampkey -k bfD0", kOrdinaryUser, "bfD0: 64000000\n", ""},
      {"", "ampkey -k ACLC -w +25", kRoot, "", ""},
      {"", "ampkey -k ACLC -r", kOrdinaryUser, "ACLC: 25\n", ""},
      {"not-privileged ACLC 6", "ampkey -k ACLC -w 04", kRoot, "",
       "SMC ACLC command 6: permission denied by SMC (root access may be "
       "insufficient) (IOKit 0xe00002c1, SMC 0)\n"},
      {"refuse-open", "ampkey -k ACLC", kRoot, "",
       "Cannot open AppleSMC (IOKit -536870207); use the privileged helper\n"},
      // A success code without a connection is no success.
      {"refuse-open 0", "ampkey -k ACLC", kRoot, "",
       "Cannot open AppleSMC (IOKit 0); use the privileged helper\n"},
      {"disconnect ACLC 5", "ampkey -k ACLC", kRoot, "",
       "SMC ACLC command 5: request failed (IOKit 0xe00002ed, SMC 0)\n"},
      {"", "ampctl daemon", kOrdinaryUser, "",
       "Permission denied: use the Ampervale privileged helper\n"},
      {"", "ampctl limit 80", kRoot, "",
       "Charge daemon not running; prepare the helper backends\n"},
  };
  Sandbox sandbox;
  bool simulating = false;
  for (const auto& c : cases) {
    if (c.fault && !simulating) sandbox.StartSimulator();
    simulating = simulating || c.fault;
    if (c.fault) sandbox.Simulator({"fault", "--clear"});
    if (c.fault && *c.fault) {
      std::vector<std::string> fault = Words(std::string("fault ") + c.fault);
      ASSERT_EQ(0, sandbox.Simulator(fault).status) << c.fault;
    }
    ProcessResult result = sandbox.Run(Words(c.command), c.uid);
    EXPECT_EQ(c.out, result.out) << c.command;
    EXPECT_EQ(c.err, result.err) << c.command;
    EXPECT_EQ(*c.err ? 1 : 0, result.status) << c.command;
  }
  EXPECT_EQ("25\n", sandbox.Simulator({"key", "ACLC"}).out);
  EXPECT_EQ("64000000\n", sandbox.Simulator({"key", "bfD0"}).out);
  EXPECT_FALSE(std::filesystem::exists(
      sandbox.library() + "/Application Support/Ampervale/run/policy.json"));
}

}  // namespace
}  // namespace ampervale::e2e
