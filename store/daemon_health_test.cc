#include "store/daemon_health.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <random>

#include "store/test_support.h"

namespace ampervale {
namespace {

using testing::ThrownText;

TEST(DaemonHealthTest, EncodesCompactlyInFieldOrder) {
  static const struct {
    NativeDaemonHealth health;
    const char* json;
  } cases[] = {
      {{.pid = 42, .timestamp = 0}, R"({"pid":42,"timestamp":0})"},
      {{.pid = 42, .timestamp = 750000000.25, .error = "Adapter: x | MagSafe"},
       R"({"pid":42,"timestamp":750000000.25,"error":"Adapter: x | MagSafe"})"},
      {{.pid = 1, .timestamp = -86400}, R"({"pid":1,"timestamp":-86400})"},
      {{.pid = -1, .timestamp = 0.1}, R"({"pid":-1,"timestamp":0.1})"},
      {{.pid = 7, .timestamp = 1e300}, R"({"pid":7,"timestamp":1e+300})"},
      // A description that holds bytes of a file name is still written.
      {{.pid = 7, .timestamp = 1, .error = "bad \xff"},
       "{\"pid\":7,\"timestamp\":1,\"error\":\"bad \xef\xbf\xbd\"}"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.json, EncodeHealth(c.health)) << c.json;
  }
}

TEST(DaemonHealthTest, RefusesTimestampsJsonCannotHold) {
  for (const double timestamp : {std::numeric_limits<double>::infinity(),
                                 -std::numeric_limits<double>::infinity(),
                                 std::numeric_limits<double>::quiet_NaN()}) {
    EXPECT_EQ("\"timestamp\" is not a finite number",
              ThrownText([&] { EncodeHealth({.timestamp = timestamp}); }))
        << timestamp;
  }
}

TEST(DaemonHealthTest, TimestampsReadBackAsTheSameDouble) {
  std::mt19937_64 bits(20010101);
  std::vector<double> timestamps = {0.0,    0.1,        1.0 / 3,
                                    -1e-9,  5e-324,     1.7976931348623157e308,
                                    0x1p53, 0x1p53 + 2, 786812345.6789012};
  while (timestamps.size() < 2000) {
    const uint64_t pattern = bits();
    double timestamp = 0;
    std::memcpy(&timestamp, &pattern, sizeof timestamp);
    if (std::isfinite(timestamp)) timestamps.push_back(timestamp);
    timestamps.push_back(std::ldexp(static_cast<double>(pattern >> 11), -23));
  }
  for (const double timestamp : timestamps) {
    const NativeDaemonHealth health{.pid = 9, .timestamp = timestamp};
    const NativeDaemonHealth back = DecodeHealth(EncodeHealth(health));
    EXPECT_EQ(timestamp, back.timestamp) << EncodeHealth(health);
  }
}

TEST(DaemonHealthTest, Decodes) {
  static const struct {
    const char* json;
    NativeDaemonHealth health;
  } cases[] = {
      {R"({"pid":42,"timestamp":0})", {.pid = 42, .timestamp = 0}},
      {R"({"timestamp":1.5,"pid":42,"error":null,"x":[]})",
       {.pid = 42, .timestamp = 1.5}},
      {R"({"pid":2147483647,"timestamp":-2,"error":"MagSafe: e"})",
       {.pid = 2147483647, .timestamp = -2, .error = "MagSafe: e"}},
      {R"({"pid":-2147483648,"timestamp":18446744073709551615})",
       {.pid = -2147483648, .timestamp = 18446744073709551615.0}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.health, DecodeHealth(c.json)) << c.json;
  }
}

TEST(DaemonHealthTest, RefusesMissingOrMistypedFields) {
  static const struct {
    const char* json;
    const char* message;
  } cases[] = {
      {R"({"timestamp":0})", "\"pid\" is missing"},
      {R"({"pid":null,"timestamp":0})", "\"pid\" is missing"},
      {R"({"pid":42})", "\"timestamp\" is missing"},
      {R"({"pid":2147483648,"timestamp":0})",
       "\"pid\" is not an integer from -2147483648 to 2147483647"},
      {R"({"pid":-2147483649,"timestamp":0})",
       "\"pid\" is not an integer from -2147483648 to 2147483647"},
      {R"({"pid":4.5,"timestamp":0})",
       "\"pid\" is not an integer from -2147483648 to 2147483647"},
      {R"({"pid":"42","timestamp":0})",
       "\"pid\" is not an integer from -2147483648 to 2147483647"},
      {R"({"pid":42,"timestamp":"0"})", "\"timestamp\" is not a number"},
      {R"({"pid":42,"timestamp":true})", "\"timestamp\" is not a number"},
      {R"({"pid":42,"timestamp":0,"error":7})", "\"error\" is not a string"},
      {R"([42,0])", "the document is not a JSON object"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.message, ThrownText([&] { DecodeHealth(c.json); })) << c.json;
  }
}

TEST(DaemonHealthTest, NowCountsFromTheReferenceDate) {
  const double before = static_cast<double>(std::time(nullptr));
  const double now = NowSinceReferenceDate() + kReferenceDateUnixSeconds;
  const double after = static_cast<double>(std::time(nullptr));
  EXPECT_LE(before, now);
  EXPECT_LT(now, after + 1);
}

}  // namespace
}  // namespace ampervale
