#include "store/power_policy.h"

#include <gtest/gtest.h>

#include "store/daemon_health.h"
#include "store/json_record.h"
#include "store/test_support.h"

namespace ampervale {
namespace {

constexpr const char* kNotAnInteger =
    "\"upperLimit\" is not an integer from -9223372036854775808 to "
    "9223372036854775807";

constexpr bool kHealth = true;

std::string Reencoded(const std::string& json, bool health) try {
  if (health) return EncodeHealth(DecodeHealth(json));
  const NativePowerPolicy policy = DecodePolicy(json);
  policy.validate();
  return EncodePolicy(policy);
} catch (const std::exception& error) {
  return error.what();
}

// Decoding `json`, validating a policy and encoding the result gives
// `expected` ("": `json` itself), or decoding or validation throws it. Rules
// are checked in their order. Encoding writes compact JSON in field order;
// where the two texts are equal a timestamp survived exactly.
TEST(PowerPolicyTest, DecodesStrictlyAndEncodesCompactly) {
  static const struct {
    std::string json;
    std::string expected;
    bool health = false;
  } cases[] = {
      {R"({"upperLimit":30,"adapterEnabled":false,"ledMode":"off"})", ""},
      {R"({"upperLimit":99,"ledMode":"system"})", ""},
      {R"({"upperLimit":29})", "Invalid stored charge limit"},
      {R"({"upperLimit":100,"restoreChargingRequested":true})",
       "Invalid stored charge limit"},
      {R"({"upperLimit":50,"ledMode":"Green","restoreChargingRequested":true})",
       "Conflicting stored charging policy"},
      {R"({"ledMode":"Green"})", "Invalid stored LED mode"},
      {R"({"ledMode":"green"})", ""},
      {R"( {"upperLimit":null,"adapterEnabled":null,"ledMode":null,)"
       R"("restoreChargingRequested":null,"future":{"x":[1]}} )",
       "{}"},
      {R"({"restoreChargingRequested":false,"ledMode":"amber",)"
       R"("adapterEnabled":false,"upperLimit":30})",
       R"({"upperLimit":30,"adapterEnabled":false,"ledMode":"amber",)"
       R"("restoreChargingRequested":false})"},
      {R"({"upperLimit":50,"upperLimit":80.0})", R"({"upperLimit":80})"},
      {R"({"upperLimit":80.5})", kNotAnInteger},
      {R"({"upperLimit":"80"})", kNotAnInteger},
      {R"({"adapterEnabled":1})", "\"adapterEnabled\" is not a boolean"},
      {"{\"a\":" + std::string(64, '[') + std::string(64, ']') + "}", "{}"},
      {"{\"a\":" + std::string(65, '[') + std::string(65, ']') + "}",
       "JSON nested deeper than 64 levels"},
      // Messages reach a terminal: no raw bytes, and no screenful of them.
      {"{\"ledMode\":\"gr\xe9n\"}",
       "parse error at line 1, column 16: syntax error while parsing value - "
       "invalid string: ill-formed UTF-8 byte; last read: '\"gr?n'"},
      // The whole file is the document, up to its last byte.
      {std::string("{\"upperLimit\":50}") + '\0' + "{\"this is\":\"garbage",
       "the document holds a NUL byte"},
      {R"({"timestamp":-86400.0,"pid":1,"error":"Adapter: x","x":[]})",
       R"({"pid":1,"timestamp":-86400,"error":"Adapter: x"})", kHealth},
      {R"({"pid":2147483647,"timestamp":786812345.6789012})", "", kHealth},
      {R"({"timestamp":0})", "\"pid\" is missing", kHealth},
      {R"({"pid":2147483648,"timestamp":0})",
       "\"pid\" is not an integer from -2147483648 to 2147483647", kHealth},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected.empty() ? c.json : c.expected,
              Reencoded(c.json, c.health))
        << c.json.substr(0, 80);
  }
  // The daemon writes its heartbeat even when the error text holds bytes of
  // a file name that are not UTF-8.
  EXPECT_EQ("{\"pid\":-1,\"timestamp\":0.1,\"error\":\"bad \xef\xbf\xbd\"}",
            EncodeHealth({.pid = -1, .timestamp = 0.1, .error = "bad \xff"}));
}

TEST(PowerPolicyTest, TimeCountsFromTheReferenceDate) {
  EXPECT_EQ(786812345.5, SecondsSinceReferenceDate(
                             std::chrono::system_clock::from_time_t(978307200) +
                             std::chrono::milliseconds(786812345500)));
}

}  // namespace
}  // namespace ampervale
