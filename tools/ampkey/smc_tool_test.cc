#include "tools/ampkey/smc_tool.h"

#include <gtest/gtest.h>

#include <sstream>

#include "common/native_control_error.h"

namespace ampervale {
namespace {

using NativeBackendTool::Arguments;

const char kHelp[] =
    "Ampervale native backend 1.0.0 \xC2\xB7 ampkey\n"
    "Usage: ampkey -k KEY [-r | -w HEX]\n"
    "Read an SMC key, or write a supported ACLC LED value.\n";

// Records what reached the SMC; a key holds 0x12 0xAB unless written.
class RecordingSMC : public NativeSMCAccess {
 public:
  explicit RecordingSMC(std::vector<std::string>* log) : log_(log) {}
  std::vector<uint8_t> read(const std::string& key) override {
    log_->push_back("read " + key);
    return {0x12, 0xAB};
  }
  void write(const std::string& key,
             const std::vector<uint8_t>& bytes) override {
    log_->push_back("write " + key + " " + std::to_string(bytes.at(0)));
  }

 private:
  std::vector<std::string>* log_;
};

struct Outcome {
  std::string out;
  std::string error;
  std::vector<std::string> smc;
};

Outcome RunTool(const Arguments& arguments, uid_t uid = 0) {
  Outcome outcome;
  std::ostringstream out;
  SMCToolContext context{out, uid, [&] {
                           outcome.smc.push_back("open");
                           return std::make_unique<RecordingSMC>(&outcome.smc);
                         }};
  try {
    NativeBackendTool::runSMCTool(arguments, context);
  } catch (const NativeControlError& error) {
    outcome.error = error.description();
  }
  outcome.out = out.str();
  return outcome;
}

std::string Joined(const Arguments& arguments) {
  std::string text;
  for (const auto& a : arguments) text += "[" + a + "]";
  return text;
}

TEST(SMCToolTest, HelpVersionAndRead) {
  static const struct {
    Arguments arguments;
    std::string out;
    std::vector<std::string> smc;
  } cases[] = {
      {{}, kHelp, {}},
      {{"-k", "ACLC", "-h"}, kHelp, {}},
      {{"--help", "--version"}, kHelp, {}},
      {{"-w", "99", "--help"}, kHelp, {}},
      {{"--version"}, "Ampervale native backend 1.0.0\n", {}},
      {{"-k", "ACLC"}, "ACLC: 12ab\n", {"open", "read ACLC"}},
      {{"-k", "bfD0", "-r"}, "bfD0: 12ab\n", {"open", "read bfD0"}},
      {{"-k", "aB c"}, "aB c: 12ab\n", {"open", "read aB c"}},
  };
  for (const auto& c : cases) {
    Outcome outcome = RunTool(c.arguments, 501);
    EXPECT_EQ("", outcome.error) << Joined(c.arguments);
    EXPECT_EQ(c.out, outcome.out) << Joined(c.arguments);
    EXPECT_EQ(c.smc, outcome.smc) << Joined(c.arguments);
  }
}

TEST(SMCToolTest, ArgumentRulesInTheirOrder) {
  const std::string kOnlyLED =
      "Only documented one-byte ACLC LED writes are supported";
  static const struct {
    Arguments arguments;
    uid_t uid;
    std::string error;
  } cases[] = {
      {{"-k"}, 0, "Missing -k KEY"},
      {{"-r"}, 0, "Missing -k KEY"},
      {{"-w", "04"}, 0, "Missing -k KEY"},
      {{"--version", "-k", "ACLC"}, 0, "Invalid ampkey arguments"},
      {{"-r", "-k", "ACLC"}, 0, "Invalid ampkey arguments"},
      {{"-k", "ACLC", "-r", "-r"}, 0, "Invalid ampkey arguments"},
      {{"-k", "ACLC", "extra"}, 0, "Invalid ampkey arguments"},
      {{"-k", "ACLC", "-w"}, 0, kOnlyLED},
      {{"-k", "ACLC", "-w", "02"}, 0, kOnlyLED},
      {{"-k", "ACLC", "-w", "0x04"}, 0, kOnlyLED},
      {{"-k", "aclc", "-w", "04"}, 0, kOnlyLED},
      {{"-k", "ACLC", "-w", "04", "-r"}, 0, kOnlyLED},
      {{"-k", "ACLC", "-w", "100"}, 0, kOnlyLED},
      {{"-k", "ACLC", "-w", "-1"}, 0, kOnlyLED},
      {{"-k", "ACLC", "-w", ""}, 0, kOnlyLED},
      {{"-k", "ACLC", "-w", "+"}, 0, kOnlyLED},
      {{"-k", "ACLC", "-w", "0 4"}, 0, kOnlyLED},
      {{"-w", "04", "-k", "ACLC"}, 0, kOnlyLED},
      {{"-k", "ACLC", "-w", "02"}, 501, kOnlyLED},
      {{"-k", "ACLC", "-w", "03"},
       501,
       "Permission denied: use the Ampervale privileged helper"},
  };
  for (const auto& c : cases) {
    Outcome outcome = RunTool(c.arguments, c.uid);
    EXPECT_EQ(c.error, outcome.error) << Joined(c.arguments);
    EXPECT_EQ("", outcome.out) << Joined(c.arguments);
    // Refused arguments never open the SMC.
    EXPECT_EQ(std::vector<std::string>{}, outcome.smc) << Joined(c.arguments);
  }
}

TEST(SMCToolTest, WritesTheDocumentedByte) {
  static const struct {
    const char* hex;
    const char* written;
  } cases[] = {
      {"4", "write ACLC 4"},   {"04", "write ACLC 4"},
      {"+04", "write ACLC 4"}, {"0004", "write ACLC 4"},
      {"25", "write ACLC 37"}, {"+25", "write ACLC 37"},
      {"-0", "write ACLC 0"},  {"00", "write ACLC 0"},
      {"1", "write ACLC 1"},   {"3", "write ACLC 3"},
      {"6", "write ACLC 6"},   {"07", "write ACLC 7"},
  };
  for (const auto& c : cases) {
    Outcome outcome = RunTool({"-k", "ACLC", "-w", c.hex});
    EXPECT_EQ("", outcome.error) << c.hex;
    EXPECT_EQ("", outcome.out) << c.hex;
    EXPECT_EQ((std::vector<std::string>{"open", c.written}), outcome.smc)
        << c.hex;
  }
}

}  // namespace
}  // namespace ampervale
