#include "store/daemon_health.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>

#include "store/json_record.h"
#include "store/test_support.h"

namespace ampervale {
namespace {

constexpr const char* kBadPid =
    "\"pid\" is not an integer from -2147483648 to 2147483647";

std::string Reencoded(const char* json) {
  try {
    return EncodeHealth(DecodeHealth(json));
  } catch (const JsonRecordError& error) {
    return error.what();
  }
}

// Decoding `json` and encoding the result gives `expected`, or decoding
// throws it. Where the two texts are equal the timestamp survived exactly.
TEST(DaemonHealthTest, DecodesStrictlyAndEncodesCompactly) {
  static const struct {
    const char* json;
    const char* expected;
  } cases[] = {
      {R"({"timestamp":1.5,"pid":42,"error":null,"x":[]})",
       R"({"pid":42,"timestamp":1.5})"},
      {R"({"pid":7,"timestamp":750000000.25,"error":"Adapter: x | MagSafe"})",
       R"({"pid":7,"timestamp":750000000.25,"error":"Adapter: x | MagSafe"})"},
      {R"({"pid":1,"timestamp":-86400.0})", R"({"pid":1,"timestamp":-86400})"},
      {R"({"pid":2147483647,"timestamp":786812345.6789012})",
       R"({"pid":2147483647,"timestamp":786812345.6789012})"},
      {R"({"timestamp":0})", "\"pid\" is missing"},
      {R"({"pid":42})", "\"timestamp\" is missing"},
      {R"({"pid":2147483648,"timestamp":0})", kBadPid},
      {R"({"pid":42,"timestamp":true})", "\"timestamp\" is not a number"},
      {R"({"pid":42,"timestamp":0,"error":7})", "\"error\" is not a string"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, Reencoded(c.json)) << c.json;
  }
}

// The daemon writes its heartbeat even when the error text holds bytes of a
// file name that are not UTF-8.
TEST(DaemonHealthTest, EncodesAnyErrorText) {
  EXPECT_EQ("{\"pid\":-1,\"timestamp\":0.1,\"error\":\"bad \xef\xbf\xbd\"}",
            EncodeHealth({.pid = -1, .timestamp = 0.1, .error = "bad \xff"}));
}

TEST(DaemonHealthTest, NowCountsFromTheReferenceDate) {
  const double before = static_cast<double>(std::time(nullptr));
  const double now = NowSinceReferenceDate() + kReferenceDateUnixSeconds;
  EXPECT_LE(before, now);
  EXPECT_LT(now, static_cast<double>(std::time(nullptr)) + 1);
}

}  // namespace
}  // namespace ampervale
