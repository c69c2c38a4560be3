// A night on the charger: the real daemon loop, the simulated platform and
// an ampsim server in this process, over a real socket.

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "daemon/native_daemon.h"
#include "platform/power_notices.h"
#include "platform/simulator_socket.h"
#include "sim/control_client.h"
#include "sim/machine.h"
#include "sim/server.h"
#include "store/test_support.h"

namespace ampervale {
namespace {

// A simulated Mac served in this process, found through the variable. Its
// sleep runs 100 hours a second; awake, its time runs `timeScale` times
// real time. A sleep request is answered after the whole night.
struct ServedMac {
  ServedMac(const sim::MachineDescription& machine, double timeScale)
      : mac(machine),
        server(mac, {.socket_path = socket, .time_scale = timeScale}) {
    mac.sleep().set_speed(100 * 3600);
    serving = std::thread([this] { server.Run(); });
    setenv(platform::kSimulatorVariable, socket.c_str(), 1);
    platform::SetSimulatorExchangeLimit(std::chrono::seconds(60));
  }
  ~ServedMac() {
    server.Stop();
    serving.join();
    unsetenv(platform::kSimulatorVariable);
    platform::SetSimulatorExchangeLimit(std::chrono::seconds(10));
  }
  testing::ScratchDirectory scratch;
  std::string socket = scratch.path() / "smc.sock";
  sim::SimulatedMac mac;
  sim::Server server;
  std::thread serving;
};

// Ten-hour nights with the limit 80, charging 20 % an hour, where the rate
// the daemon learns decides its wakes, played as a Mac plays them: the level
// never passes 81, and the night ends where the row says, in its number of
// full wakes.
TEST(SleepNightTest, TheBatteryStopsAtTheLimitWhileTheMacSleeps) {
  const auto kMacNight = nlohmann::json::parse(
      R"({"darkWakeEvery": 120, "linger": 10, "levelLag": 10,
          "fullWakeSeconds": 30})");
  const struct {
    const char* profile;
    nlohmann::json night;  // the sleep's options
    double start, end, highest;
    int fullWakes;
  } cases[] = {
      {"legacy-pair", {}, 40, 79.04, 81, 6},
      {"legacy-single", kMacNight, 40, 79.7, 81, 6},
      {"legacy-pair", {{"pullOutAt", 0}}, 60, 55, 60.1, 0},
  };
  for (const auto& c : cases) {
    std::string row = c.profile + (" " + c.night.dump());
    sim::MachineDescription machine = sim::BuiltInMachine(c.profile);
    machine.battery.level = c.start;
    machine.battery.charge_rate = 20;
    // The awake rule runs every 80 s of the machine's time.
    ServedMac served(machine, 40);
    testing::ScratchDirectory scratch;
    NativePowerStore store(scratch.path() / "run");
    testing::WriteFile(store.directory() / "policy.json",
                       R"({"upperLimit":80})");
    std::ostringstream err;
    DaemonEnvironment environment = DaemonEnvironment::Process();
    environment.err = &err;
    std::unique_ptr<DaemonLoop> loop = NativeDaemon::MakeLoop(
        store, std::make_shared<NativePowerController>(environment.openSMC()),
        environment);
    loop->Start();
    std::atomic<bool> awake = false;
    nlohmann::json state, request = c.night;
    request.update({{"command", "sleep"}, {"hours", 10}});
    std::thread night([&] {
      state = sim::SendControl(served.socket, request);
      awake = true;
    });
    while (!awake) loop->RunOnce();
    night.join();

    const nlohmann::json& sleep = state["state"]["sleep"];
    EXPECT_EQ("", err.str()) << row;
    EXPECT_LE(sleep["highestLevel"], c.highest) << row;
    EXPECT_NEAR(c.end, double(state["state"]["battery"]["level"]), 0.25) << row;
    EXPECT_EQ(c.fullWakes, sleep["fullWakes"]) << row;
    EXPECT_EQ(0, sleep["lateAnswers"]) << row;
    EXPECT_EQ(0u, sleep["bookedWakes"].size()) << row;
  }
}

// Two registrations book wakes at 600 s and 900 s of one sleep: each is
// told which wake was its own, and after how long. A simulator that goes
// away leaves the channels broken.
TEST(SleepNightTest, EachRegistrationKnowsItsOwnWake) {
  using Kind = platform::PowerNotice::Kind;
  std::optional<ServedMac> served(std::in_place,
                                  sim::BuiltInMachine("legacy-pair"), 1);
  std::unique_ptr<platform::PowerNotices> clients[2] = {
      platform::RegisterForPowerNotices().notices,
      platform::RegisterForPowerNotices().notices};
  EXPECT_EQ(0, clients[1]->BookWake(300));
  EXPECT_EQ(0, clients[1]->CancelWake());
  EXPECT_EQ(0, clients[0]->BookWake(600));
  EXPECT_EQ(0, clients[1]->BookWake(900));
  std::atomic<bool> awake = false;
  std::thread night([&] {
    sim::SendControl(
        served->socket,
        {{"command", "sleep"}, {"hours", 1}, {"refuseBookings", true}});
    awake = true;
  });
  std::string heard[2];
  auto morning = [&] {
    return awake && heard[0].ends_with("woken, ") &&
           heard[1].ends_with("woken, ");
  };
  for (int round = 0; round < 4000 && !morning(); ++round) {
    for (int i : {0, 1}) {
      std::optional<platform::PowerNotice> notice = clients[i]->Wait(0.005);
      if (notice && notice->kind == Kind::kWillSleep) {
        // Refused while asleep (no resources), and not taken for its own:
        // 600 stands.
        if (!i && heard[i].empty()) {
          EXPECT_EQ(int32_t(0xE00002BE), clients[i]->BookWake(50));
        }
        clients[i]->AllowSleep(notice->id);
        heard[i] += "sleep, ";
      } else if (notice) {
        double after = notice->ownWakeAfter.value_or(0);
        heard[i] +=
            after ? "own " + std::to_string(int(after)) + ", " : "woken, ";
      }
    }
  }
  night.join();
  EXPECT_EQ("sleep, woken, sleep, woken, sleep, woken, ", heard[0]);
  EXPECT_EQ("sleep, woken, sleep, own 900, sleep, woken, ", heard[1]);
  served.reset();
  EXPECT_FALSE(clients[0]->Wait(5));
  EXPECT_TRUE(clients[0]->broken());
}

}  // namespace
}  // namespace ampervale
