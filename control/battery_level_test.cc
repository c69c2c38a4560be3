#include "control/battery_level.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <map>
#include <thread>

#include "control/power_controller.h"
#include "platform/simulator_socket.h"

namespace ampervale {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

TEST(BatteryLevelTest, RoundsTheRatioDownAndRefusesNonsense) {
  static const struct {
    std::optional<double> current, maximum;
    std::optional<int64_t> percentage;
  } cases[] = {
      {999, 1000, 99},
      {999.8, 1000, 99},
      {1000, 1000, 100},
      {0, 1000, 0},
      {1, 3, 33},
      {2, 3, 66},
      {4500, 5000, 90},
      {1000, 0, std::nullopt},
      {0, 0, std::nullopt},
      {10, -5, std::nullopt},
      {1001, 1000, std::nullopt},
      {-1, 1000, std::nullopt},
      {kNaN, 1000, std::nullopt},
      {500, kNaN, std::nullopt},
      {kInfinity, 1000, std::nullopt},
      {kInfinity, kInfinity, std::nullopt},
      {std::nullopt, 1000, std::nullopt},
      {500, std::nullopt, std::nullopt},
      {std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.percentage, PercentageFromCapacities({c.current, c.maximum}))
        << c.current.value_or(-999) << " / " << c.maximum.value_or(-999);
  }
}

// Sets the simulator variable for one test and puts the old value back.
class ScopedSimulatorVariable {
 public:
  explicit ScopedSimulatorVariable(const char* value) {
    if (const char* old = getenv(platform::kSimulatorVariable)) old_ = old;
    if (value) {
      setenv(platform::kSimulatorVariable, value, 1);
    } else {
      unsetenv(platform::kSimulatorVariable);
    }
  }
  ~ScopedSimulatorVariable() {
    if (old_) {
      setenv(platform::kSimulatorVariable, old_->c_str(), 1);
    } else {
      unsetenv(platform::kSimulatorVariable);
    }
  }

 private:
  std::optional<std::string> old_;
};

// Answers one battery client with integer properties, then returns.
void ServeBattery(int listener, const std::map<std::string, int64_t>& values) {
  int client = accept(listener, nullptr, nullptr);
  uint8_t request = 0, present = 1, length = 0;
  if (read(client, &request, 1) == 1 && write(client, &present, 1) == 1) {
    while (read(client, &length, 1) == 1) {
      std::string name(length, '\0');
      if (read(client, name.data(), length) != length) break;
      uint8_t answer[9] = {1};
      for (int i = 0; i < 8; ++i) {
        answer[1 + i] = static_cast<uint8_t>(values.at(name) >> (8 * i));
      }
      if (write(client, answer, sizeof answer) != sizeof answer) break;
    }
  }
  close(client);
}

TEST(BatteryLevelTest, ReadsTheSimulatedBatteryService) {
  char directory[] = "/tmp/ampervale-battery-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(directory));
  std::string path = std::string(directory) + "/sim.sock";
  int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(
      0, bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, listen(listener, 1));
  std::thread server(ServeBattery, listener,
                     std::map<std::string, int64_t>{{"CurrentCapacity", 999},
                                                    {"MaxCapacity", 1000}});
  {
    ScopedSimulatorVariable simulator(path.c_str());
    EXPECT_EQ(99, NativePowerController::batteryPercentage());
  }
  // Wakes the server should the client never have connected.
  shutdown(listener, SHUT_RDWR);
  server.join();
  close(listener);
  unlink(path.c_str());
  rmdir(directory);
}

TEST(BatteryLevelTest, IsAbsentWithoutABatteryService) {
  ScopedSimulatorVariable simulator(nullptr);
  EXPECT_EQ(std::nullopt, NativePowerController::batteryPercentage());
}

}  // namespace
}  // namespace ampervale
