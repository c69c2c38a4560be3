#include <gtest/gtest.h>
#include <sys/stat.h>

#include "store/power_store.h"
#include "store/test_support.h"

namespace ampervale {
namespace {

using testing::ModeOf;
using testing::ReadFile;
using testing::ScratchDirectory;
using testing::ThrownText;
using testing::WriteFile;

class PowerStorePolicyTest : public ::testing::Test {
 protected:
  ScratchDirectory dir_;
  NativePowerStore store_{dir_.path() / "run"};
  std::filesystem::path policyPath_ = store_.directory() / "policy.json";
};

TEST_F(PowerStorePolicyTest, NoFileIsTheEmptyPolicy) {
  EXPECT_EQ(NativePowerPolicy{}, store_.loadPolicy());
  EXPECT_EQ(-1, ModeOf(policyPath_));
}

TEST_F(PowerStorePolicyTest, SavesExactlyTheEncodedPolicy) {
  store_.savePolicy({.upperLimit = 80, .ledMode = "amber"});
  EXPECT_EQ(R"({"upperLimit":80,"ledMode":"amber"})", ReadFile(policyPath_));
  EXPECT_EQ(0600, ModeOf(policyPath_));
  EXPECT_EQ(-1, ModeOf(store_.directory() / "policy.json.tmp"));
  EXPECT_EQ((NativePowerPolicy{.upperLimit = 80, .ledMode = "amber"}),
            store_.loadPolicy());
  store_.savePolicy({});
  EXPECT_EQ("{}", ReadFile(policyPath_));
}

TEST_F(PowerStorePolicyTest, AnInvalidPolicyIsNotWritten) {
  WriteFile(policyPath_, "{\"upperLimit\":80}");
  static const NativePowerPolicy cases[] = {
      {.upperLimit = 100},
      {.upperLimit = 50, .restoreChargingRequested = true},
      {.ledMode = "Green"},
  };
  for (const auto& policy : cases) {
    EXPECT_NE("(nothing thrown)",
              ThrownText([&] { store_.savePolicy(policy); }));
    EXPECT_EQ("{\"upperLimit\":80}", ReadFile(policyPath_));
  }
}

// Whatever lies in the file, loading says why it cannot be used and leaves
// it for the user to inspect.
TEST_F(PowerStorePolicyTest, BadContentIsReportedAndLeftAlone) {
  const std::string decode = "Cannot decode " + policyPath_.native() + ": ";
  static const struct {
    std::string content;
    std::string message;  // after "Cannot decode <path>: " unless complete
    bool complete = false;
  } cases[] = {
      {"",
       "parse error at line 1, column 1: syntax error while parsing value"
       " - unexpected end of input; expected '[', '{', or a literal"},
      {R"({"upperLimit":8)",
       "parse error at line 1, column 16: syntax error "
       "while parsing object - unexpected end of input;"
       " expected '}'"},
      {R"({"upperLimit":"80"})",
       "\"upperLimit\" is not an integer from "
       "-9223372036854775808 to 9223372036854775807"},
      {R"({"adapterEnabled":1})", "\"adapterEnabled\" is not a boolean"},
      {"[]", "the document is not a JSON object"},
      {std::string(10000, '['), "JSON nested deeper than 64 levels"},
      {"{\"ledMode\":\"gr\xe9n\"}",
       "parse error at line 1, column 16: syntax error while parsing value - "
       "invalid string: ill-formed UTF-8 byte; last read: '\"gr?n'"},
      {R"({"upperLimit":100})", "Invalid stored charge limit", true},
      {R"({"upperLimit":50,"restoreChargingRequested":true})",
       "Conflicting stored charging policy", true},
      {R"({"ledMode":"enable"})", "Invalid stored LED mode", true},
  };
  for (const auto& c : cases) {
    WriteFile(policyPath_, c.content);
    EXPECT_EQ(c.complete ? c.message : decode + c.message,
              ThrownText([&] { store_.loadPolicy(); }))
        << c.content.substr(0, 80);
    EXPECT_EQ(c.content, ReadFile(policyPath_));
  }
  const std::string huge = "{\"x\":\"" + std::string(70000, 'a') + "\"}";
  WriteFile(policyPath_, huge);
  EXPECT_EQ("Cannot read " + policyPath_.native() + ": larger than 65536 bytes",
            ThrownText([&] { store_.loadPolicy(); }));
  EXPECT_EQ(huge, ReadFile(policyPath_));
}

// A FIFO would make a plain open wait forever; a symbolic link could point
// anywhere.
TEST_F(PowerStorePolicyTest, RefusesEntriesThatAreNotRegularFiles) {
  const auto target = dir_.path() / "target.json";
  WriteFile(target, "{\"upperLimit\":80}");
  const std::string prefix = "Cannot read " + policyPath_.native() + ": ";
  const auto makeDirectory = [&] {
    ASSERT_EQ(0, mkdir(policyPath_.c_str(), 0700));
  };
  const auto makeFifo = [&] {
    ASSERT_EQ(0, mkfifo(policyPath_.c_str(), 0600));
  };
  const auto makeLink = [&] {
    ASSERT_EQ(0, symlink(target.c_str(), policyPath_.c_str()));
  };
  static const struct {
    const char* kind;
    const char* detail;
  } cases[] = {{"directory", "not a regular file"},
               {"fifo", "not a regular file"},
               {"link", "Too many levels of symbolic links"}};
  const std::function<void()> makers[] = {makeDirectory, makeFifo, makeLink};
  for (size_t i = 0; i < std::size(cases); ++i) {
    std::filesystem::remove(policyPath_);
    makers[i]();
    EXPECT_EQ(prefix + cases[i].detail,
              ThrownText([&] { store_.loadPolicy(); }))
        << cases[i].kind;
  }
  // Saving replaces the link itself and never writes through it.
  store_.savePolicy({.ledMode = "off"});
  EXPECT_EQ("{\"ledMode\":\"off\"}", ReadFile(policyPath_));
  EXPECT_EQ("{\"upperLimit\":80}", ReadFile(target));
}

TEST_F(PowerStorePolicyTest, SavesHeartbeats) {
  const auto healthPath = store_.directory() / "health.json";
  store_.saveHealth({.pid = 321, .timestamp = 12.5, .error = "MagSafe: e"});
  EXPECT_EQ(R"({"pid":321,"timestamp":12.5,"error":"MagSafe: e"})",
            ReadFile(healthPath));
  store_.saveHealth({.pid = 321, .timestamp = 14.5});
  EXPECT_EQ(R"({"pid":321,"timestamp":14.5})", ReadFile(healthPath));
  EXPECT_EQ(0600, ModeOf(healthPath));
  EXPECT_EQ(-1, ModeOf(store_.directory() / "health.json.tmp"));
}

}  // namespace
}  // namespace ampervale
