#include "store/json_record.h"

#include <gtest/gtest.h>

#include <limits>

#include "store/test_support.h"

namespace ampervale::json_record {
namespace {

using testing::ThrownText;

TEST(JsonRecordTest, RefusesWhatIsNotOneObject) {
  static const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"",
       "parse error at line 1, column 1: syntax error while parsing value"
       " - unexpected end of input; expected '[', '{', or a literal"},
      {"[]", "the document is not a JSON object"},
      {"null", "the document is not a JSON object"},
      {"\"{}\"", "the document is not a JSON object"},
      {"80", "the document is not a JSON object"},
      {"{} {}",
       "parse error at line 1, column 4: syntax error while parsing"
       " value - unexpected '{'; expected end of input"},
      {"{\"a\":1e400}", "number overflow parsing '1e400'"},
      {std::string(10000, '['), "JSON nested deeper than 64 levels"},
      {"{\"a\":" + std::string(65, '[') + std::string(65, ']') + "}",
       "JSON nested deeper than 64 levels"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.message, ThrownText([&] { (void)ParseObject(c.text); }))
        << c.text.substr(0, 80);
  }
}

TEST(JsonRecordTest, AcceptsNestingUpToTheLimit) {
  const std::string text =
      "{\"a\":" + std::string(64, '[') + std::string(64, ']') + "}";
  EXPECT_TRUE(ParseObject(text).is_object());
}

// The message of a parse error is printed to a terminal: no raw bytes of
// the input, and no screenful of them.
TEST(JsonRecordTest, ParseErrorsArePrintableAndShort) {
  static const std::string cases[] = {
      "{\"ledMode\":\"\xff\"}",
      "{\"ledMode\":\"\xc3\"}",
      "\xfe\xff{}",
      "{\"ledMode\":\"" + std::string(70000, 'a') + "\x01\"}",
  };
  for (const auto& text : cases) {
    const std::string message = ThrownText([&] { (void)ParseObject(text); });
    EXPECT_LE(message.size(), 163u) << message;
    for (const char c : message) {
      EXPECT_TRUE(c >= 0x20 && c <= 0x7e) << message;
    }
  }
}

TEST(JsonRecordTest, IntegersAreExact) {
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  static const struct {
    const char* value;
    std::optional<int64_t> expected;  // nullopt: refused
  } cases[] = {
      {"80", 80},
      {"-5", -5},
      {"80.0", 80},
      {"1e2", 100},
      {"-0", 0},
      {"9223372036854775807", kMax},
      {"-9223372036854775808", kMin},
      {"-9223372036854775808.0", kMin},
      {"80.5", std::nullopt},
      {"1e300", std::nullopt},
      {"9223372036854775808", std::nullopt},
      {"9223372036854775808.0", std::nullopt},
      {"18446744073709551616", std::nullopt},
      {"true", std::nullopt},
      {"\"80\"", std::nullopt},
      {"[80]", std::nullopt},
      {"{}", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto object = ParseObject(std::string("{\"n\":") + c.value + "}");
    if (c.expected) {
      EXPECT_EQ(c.expected, OptionalInteger(object, "n", kMin, kMax))
          << c.value;
    } else {
      EXPECT_EQ(
          "\"n\" is not an integer from -9223372036854775808 to "
          "9223372036854775807",
          ThrownText([&] { OptionalInteger(object, "n", kMin, kMax); }))
          << c.value;
    }
  }
}

}  // namespace
}  // namespace ampervale::json_record
