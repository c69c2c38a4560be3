#include "control/battery_level.h"

#include <gtest/gtest.h>

#include <limits>

namespace ampervale {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr std::optional<double> kAbsent;

TEST(BatteryLevelTest, RoundsTheRatioDownAndRefusesNonsense) {
  static const struct {
    std::optional<double> current, maximum;
    std::optional<int64_t> percentage;
  } cases[] = {
      {999.8, 1000, 99},   {1000, 1000, 100},     {0, 1000, 0},
      {2, 3, 66},          {1000, 0, {}},         {10, -5, {}},
      {1001, 1000, {}},    {-1, 1000, {}},        {kNaN, 1000, {}},
      {500, kNaN, {}},     {kInfinity, 1000, {}}, {kInfinity, kInfinity, {}},
      {kAbsent, 1000, {}}, {500, kAbsent, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.percentage, PercentageFromCapacities({c.current, c.maximum}))
        << c.current.value_or(-999) << " / " << c.maximum.value_or(-999);
  }
}

}  // namespace
}  // namespace ampervale
