#include "sim/cli_args.h"

#include <gtest/gtest.h>

#include "common/native_control_error.h"

namespace ampervale::sim {
namespace {

template <typename Action>
std::string ErrorOf(Action action) {
  try {
    action();
  } catch (const NativeControlError& error) {
    return error.description();
  }
  return "no error";
}

const CommandSyntax kKeySyntax{.usage = "ampsim key --socket PATH KEY",
                               .options = {"--socket"},
                               .required = {"--socket"},
                               .flags = {"--clear"},
                               .min_words = 1,
                               .max_words = 1};

TEST(CommandLineTest, OptionsAnywhereAndTheirErrors) {
  static const struct {
    std::vector<std::string> arguments;
    std::string error;
  } cases[] = {
      {{"--socket", "s", "ACLC"}, "no error"},
      {{"ACLC", "--socket", "s"}, "no error"},
      {{"ACLC", "--clear", "--socket", "s"}, "no error"},
      {{"ACLC"}, "Usage: ampsim key --socket PATH KEY"},
      {{"--socket", "s"}, "Usage: ampsim key --socket PATH KEY"},
      {{"--socket", "s", "ACLC", "bfF0"},
       "Usage: ampsim key --socket PATH KEY"},
      {{"ACLC", "--socket"}, "Option --socket needs a value"},
      {{"ACLC", "--sockt", "s"},
       "Unknown option --sockt; usage: ampsim key --socket PATH KEY"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error,
              ErrorOf([&] { ParseCommandLine(c.arguments, kKeySyntax); }))
        << c.arguments.size();
  }
  CommandLine line = ParseCommandLine({"ACLC", "--socket", "s"}, kKeySyntax);
  EXPECT_EQ("s", line.Option("--socket"));
  EXPECT_EQ(std::vector<std::string>{"ACLC"}, line.words);
}

TEST(CommandLineTest, Numbers) {
  EXPECT_EQ(-536870207, ParseInteger("-536870207"));
  EXPECT_EQ(0xE00002C1, ParseInteger("0xe00002c1"));
  EXPECT_EQ(5, ParseInteger("+5"));
  EXPECT_EQ(80.5, ParseNumber("80.5"));
  for (const char* bad : {"", "0x", "12a", "1 ", "--1"}) {
    EXPECT_EQ("Invalid number " + std::string(bad),
              ErrorOf([&] { ParseInteger(bad); }))
        << bad;
  }
  for (const char* bad : {"", "nan", "inf", "80%", " 80"}) {
    EXPECT_EQ("Invalid number " + std::string(bad),
              ErrorOf([&] { ParseNumber(bad); }))
        << bad;
  }
}

TEST(CommandLineTest, FaultWordsBecomeRequests) {
  static const struct {
    std::vector<std::string> words;
    bool clear;
    std::string request;
  } cases[] = {
      {{"read-result", "ACLC", "1"},
       false,
       R"({"command":"fault","fault":{"kind":"read-result","key":"ACLC","result":1}})"},
      {{"write-result", "bfE0", "0x85"},
       false,
       R"({"command":"fault","fault":{"kind":"write-result","key":"bfE0","result":133}})"},
      {{"not-privileged"},
       false,
       R"({"command":"fault","fault":{"kind":"not-privileged"}})"},
      {{"not-privileged", "ACLC", "6"},
       false,
       R"({"command":"fault","fault":{"command":6,"kind":"not-privileged","key":"ACLC"}})"},
      {{"ignore-write", "bfE0"},
       false,
       R"({"command":"fault","fault":{"kind":"ignore-write","key":"bfE0"}})"},
      {{"width", "bfD0", "2"},
       false,
       R"({"command":"fault","fault":{"kind":"width","key":"bfD0","width":2}})"},
      {{"disconnect", "ACLC"},
       false,
       R"({"command":"fault","fault":{"kind":"disconnect","key":"ACLC"}})"},
      {{"refuse-open", "-536870207"},
       false,
       R"({"command":"fault","fault":{"code":-536870207,"kind":"refuse-open"}})"},
      {{"no-battery"},
       false,
       R"({"command":"fault","fault":{"kind":"no-battery"}})"},
      {{"capacity", "MaxCapacity", "missing"},
       false,
       R"({"command":"fault","fault":{"kind":"capacity","property":"MaxCapacity","value":null}})"},
      {{"capacity", "MaxCapacity", "text"},
       false,
       R"({"command":"fault","fault":{"kind":"capacity","property":"MaxCapacity","value":"text"}})"},
      {{"capacity", "CurrentCapacity", "999.5"},
       false,
       R"({"command":"fault","fault":{"kind":"capacity","property":"CurrentCapacity","value":999.5}})"},
      {{"private-socket"},
       false,
       R"({"command":"fault","fault":{"kind":"private-socket"}})"},
      {{}, true, R"({"command":"clear-faults"})"},
      {{"width", "bfD0"},
       true,
       R"({"command":"clear-faults","kind":"width","target":"bfD0"})"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(nlohmann::json::parse(c.request), FaultRequest(c.words, c.clear))
        << (c.words.empty() ? "--clear" : c.words[0]);
  }
}

TEST(CommandLineTest, BadFaultWords) {
  static const struct {
    std::vector<std::string> words;
    bool clear;
    std::string error;
  } cases[] = {
      {{}, false, "Usage: ampsim fault --socket PATH KIND [ARGS]"},
      {{"bogus"},
       false,
       "Unknown fault bogus; choose read-result, write-result, "
       "not-privileged, ignore-write, width, disconnect, refuse-open, "
       "no-battery, capacity, private-socket"},
      {{"read-result", "ACLC"},
       false,
       "Wrong arguments for the fault read-result; see ampsim --help"},
      {{"no-battery", "now"},
       false,
       "Wrong arguments for the fault no-battery; see ampsim --help"},
      {{"read-result", "ACLC", "256"},
       false,
       "Fault field result: expected an integer from 1 to 255"},
      {{"width", "bfD", "2"},
       false,
       "Fault field key: expected a four-character SMC key"},
      {{"capacity", "MaxCapacity", "lots"}, false, "Invalid number lots"},
      {{"bogus"},
       true,
       "Unknown fault bogus; choose read-result, write-result, "
       "not-privileged, ignore-write, width, disconnect, refuse-open, "
       "no-battery, capacity, private-socket"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error, ErrorOf([&] { FaultRequest(c.words, c.clear); }))
        << (c.words.empty() ? "" : c.words[0]);
  }
}

}  // namespace
}  // namespace ampervale::sim
