#include "store/power_policy.h"

#include <gtest/gtest.h>

#include "store/test_support.h"

namespace ampervale {
namespace {

using testing::ThrownText;

TEST(PowerPolicyTest, ValidatesInRuleOrder) {
  static const struct {
    NativePowerPolicy policy;
    const char* message;  // "" when valid
  } cases[] = {
      {{}, ""},
      {{.upperLimit = 30}, ""},
      {{.upperLimit = 99}, ""},
      {{.upperLimit = 29}, "Invalid stored charge limit"},
      {{.upperLimit = 100}, "Invalid stored charge limit"},
      {{.upperLimit = 0}, "Invalid stored charge limit"},
      {{.upperLimit = -5}, "Invalid stored charge limit"},
      {{.upperLimit = 100, .restoreChargingRequested = true},
       "Invalid stored charge limit"},
      {{.upperLimit = 50, .restoreChargingRequested = true},
       "Conflicting stored charging policy"},
      {{.upperLimit = 50, .restoreChargingRequested = false}, ""},
      {{.restoreChargingRequested = true}, ""},
      {{.upperLimit = 50, .ledMode = "Green", .restoreChargingRequested = true},
       "Conflicting stored charging policy"},
      {{.ledMode = "Green"}, "Invalid stored LED mode"},
      {{.ledMode = "enable"}, "Invalid stored LED mode"},
      {{.ledMode = "always-off"}, "Invalid stored LED mode"},
      {{.ledMode = ""}, "Invalid stored LED mode"},
      {{.ledMode = "off"}, ""},
      {{.ledMode = "green"}, ""},
      {{.ledMode = "amber"}, ""},
      {{.ledMode = "system"}, ""},
      {{.adapterEnabled = false}, ""},
  };
  for (const auto& c : cases) {
    const std::string thrown = ThrownText([&] { c.policy.validate(); });
    EXPECT_EQ(*c.message ? c.message : "(nothing thrown)", thrown) << c.policy;
  }
}

TEST(PowerPolicyTest, EncodesCompactlyInFieldOrder) {
  static const struct {
    NativePowerPolicy policy;
    const char* json;
  } cases[] = {
      {{}, "{}"},
      {{.upperLimit = 80, .ledMode = "amber"},
       R"({"upperLimit":80,"ledMode":"amber"})"},
      {{.upperLimit = 30,
        .adapterEnabled = false,
        .ledMode = "system",
        .restoreChargingRequested = false},
       R"({"upperLimit":30,"adapterEnabled":false,"ledMode":"system",)"
       R"("restoreChargingRequested":false})"},
      {{.restoreChargingRequested = true},
       R"({"restoreChargingRequested":true})"},
      {{.ledMode = "a\"b\\c\n"}, R"({"ledMode":"a\"b\\c\n"})"},
      {{.upperLimit = INT64_MIN}, R"({"upperLimit":-9223372036854775808})"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.json, EncodePolicy(c.policy)) << c.json;
    EXPECT_EQ(c.policy, DecodePolicy(c.json)) << c.json;
  }
}

TEST(PowerPolicyTest, DecodesNullAndUnknownKeysAsAbsent) {
  static const struct {
    const char* json;
    NativePowerPolicy policy;
  } cases[] = {
      {"{}", {}},
      {" { } \n", {}},
      {R"({"upperLimit":null,"adapterEnabled":null,"ledMode":null,)"
       R"("restoreChargingRequested":null})",
       {}},
      {R"({"ledMode":"amber","upperLimit":80})",
       {.upperLimit = 80, .ledMode = "amber"}},
      {R"({"upperLimit":80.0})", {.upperLimit = 80}},
      {R"({"future":{"x":[1,2]},"adapterEnabled":true})",
       {.adapterEnabled = true}},
      {R"({"upperLimit":50,"upperLimit":60})", {.upperLimit = 60}},
      {"\xef\xbb\xbf{}", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.policy, DecodePolicy(c.json)) << c.json;
  }
  EXPECT_EQ("{}", EncodePolicy(DecodePolicy(R"({"future":1})")));
}

TEST(PowerPolicyTest, RefusesWrongTypes) {
  static const struct {
    std::string json;
    std::string message;
  } cases[] = {
      {R"({"upperLimit":80.5})",
       "\"upperLimit\" is not an integer from "
       "-9223372036854775808 to 9223372036854775807"},
      {R"({"upperLimit":1e300})",
       "\"upperLimit\" is not an integer from "
       "-9223372036854775808 to 9223372036854775807"},
      {R"({"upperLimit":"80"})",
       "\"upperLimit\" is not an integer from "
       "-9223372036854775808 to 9223372036854775807"},
      {R"({"upperLimit":true})",
       "\"upperLimit\" is not an integer from "
       "-9223372036854775808 to 9223372036854775807"},
      {R"({"adapterEnabled":1})", "\"adapterEnabled\" is not a boolean"},
      {R"({"adapterEnabled":"true"})", "\"adapterEnabled\" is not a boolean"},
      {R"({"ledMode":7})", "\"ledMode\" is not a string"},
      {R"({"restoreChargingRequested":0})",
       "\"restoreChargingRequested\" is not a boolean"},
      {"[]", "the document is not a JSON object"},
      {"null", "the document is not a JSON object"},
      {"{\"ledMode\":\"\xff\"}",
       "parse error at line 1, column 13: syntax error while parsing value - "
       "invalid string: ill-formed UTF-8 byte; last read: '\"?'"},
      {R"({"upperLimit":80)",
       "parse error at line 1, column 17: syntax error while parsing object - "
       "unexpected end of input; expected '}'"},
      {std::string(10000, '['), "JSON nested deeper than 64 levels"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.message, ThrownText([&] { DecodePolicy(c.json); }))
        << c.json.substr(0, 80);
  }
}

}  // namespace
}  // namespace ampervale
