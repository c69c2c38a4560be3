// A night on the charger: the real daemon loop, the simulated platform and
// an ampsim server in this process, over a real socket.

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "daemon/native_daemon.h"
#include "platform/simulator_socket.h"
#include "sim/control_client.h"
#include "sim/machine.h"
#include "sim/server.h"
#include "store/test_support.h"

namespace ampervale {
namespace {

// The highest battery level the machine reached.
struct HighestLevel : sim::SimulatorObserver {
  void Update(const sim::SimulatedMac& mac, double) override {
    highest = std::max(highest, mac.battery().level);
  }
  double highest = 0;
};

// Ten hours asleep with the limit 80, plugged in at 40 %, charging 50 % an
// hour: the level never passes 81 and ends at 77 or above, within ten wakes.
TEST(SleepNightTest, TheBatteryStopsAtTheLimitWhileTheMacSleeps) {
  for (const char* profile : {"legacy-pair", "legacy-single"}) {
    testing::ScratchDirectory scratch;
    std::string socket = scratch.path() / "smc.sock";
    sim::MachineDescription machine = sim::BuiltInMachine(profile);
    machine.battery.level = 40;
    machine.battery.charge_rate = 50;
    sim::SimulatedMac mac(machine);
    mac.sleep().set_speed(100 * 3600);
    sim::ServerOptions options;
    options.socket_path = socket;
    sim::Server server(mac, options);
    HighestLevel highest;
    server.AddObserver(&highest);
    std::thread serving([&] { server.Run(); });
    setenv(platform::kSimulatorVariable, socket.c_str(), 1);

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
    nlohmann::json state;
    std::thread night([&] {
      state = sim::SendControl(socket, {{"command", "sleep"}, {"hours", 10}});
      awake = true;
    });
    while (!awake) loop->RunOnce();
    night.join();
    server.Stop();
    serving.join();
    unsetenv(platform::kSimulatorVariable);

    const nlohmann::json& sleep = state["state"]["sleep"];
    EXPECT_EQ("", err.str()) << profile;
    EXPECT_LE(highest.highest, 81) << profile;
    EXPECT_GE(state["state"]["battery"]["level"], 77) << profile;
    EXPECT_LE(sleep["scheduledWakesServed"], 10) << profile;
    EXPECT_EQ(0, sleep["lateAnswers"]) << profile;
    EXPECT_EQ(0u, sleep["bookedWakes"].size()) << profile;
  }
}

}  // namespace
}  // namespace ampervale
