#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "common/native_control_error.h"
#include "sim/chart.h"
#include "sim/live_view.h"
#include "sim/trace.h"
#include "smc/smc_packet.h"

namespace ampervale::sim {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

void Write(SimulatedMac& mac, const std::string& key,
           std::vector<uint8_t> bytes) {
  auto width = static_cast<int64_t>(bytes.size());
  mac.smc().Answer(NativeSMCPacket(key, kSMCWriteKey, width, bytes).bytes);
}

// A firmware machine at 79 % that gets an 80 % limit at 60 seconds.
void RunScenario(SimulatedMac& mac, SimulatorObserver& observer) {
  observer.Update(mac, 0);
  mac.Advance(60);
  Write(mac, "bfD0", {0x50, 0, 0, 0});
  Write(mac, "bfE0", {0x4F, 0, 0, 0});
  Write(mac, "bfF0", {0x02});
  observer.Update(mac, 1);
  mac.Advance(3600);
  observer.Update(mac, 2);
  observer.Finish(mac);
}

MachineDescription At79() {
  MachineDescription machine = BuiltInMachine("firmware");
  machine.battery.level = 79;
  return machine;
}

TEST(TraceTest, RowsOfLevelWritesAndEvents) {
  std::string path = ::testing::TempDir() + "trace_test.tsv";
  SimulatedMac mac(At79());
  {
    TraceWriter trace(path);
    RunScenario(mac, trace);
  }
  EXPECT_EQ(
      "# ampsim trace of the machine firmware\n"
      "# hours\tlevel\tstate\tevent\n"
      "0.0000\t79.000\tcharging\tstart\n"
      "0.0167\t79.833\tcharging\twrite bfD0 50000000\n"
      "0.0167\t79.833\tcharging\twrite bfE0 4f000000\n"
      "0.0167\t79.833\tcharging\twrite bfF0 02\n"
      "0.0167\t79.833\tcharging\t\n"
      "1.0167\t80.000\tholding\tholding (firmware limit 80 %, resumes at 79 "
      "%)\n"
      "1.0167\t80.000\tholding\t\n"
      "1.0167\t80.000\tholding\tstop\n",
      ReadFile(path));
  unlink(path.c_str());
}

TEST(TraceTest, UnwritableTrace) {
  try {
    TraceWriter trace("/nonexistent/trace.tsv");
    FAIL();
  } catch (const NativeControlError& error) {
    EXPECT_EQ(
        "Cannot write the trace /nonexistent/trace.tsv: No such file or "
        "directory",
        error.description());
  }
}

TEST(EventLogTest, LinesWithSimulatedTime) {
  std::ostringstream out;
  SimulatedMac mac(At79());
  EventLog log(out, "/run/smc", 600);
  RunScenario(mac, log);
  EXPECT_EQ(
      "[00:00:00] serving firmware at /run/smc (time scale 600)\n"
      "[00:00:00] battery 79 %, charging\n"
      "[00:01:00] write bfD0 50000000\n"
      "[00:01:00] write bfE0 4f000000\n"
      "[00:01:00] write bfF0 02\n"
      "[01:01:00] holding (firmware limit 80 %, resumes at 79 %)\n"
      "[01:01:00] battery 80 %, holding\n"
      "[01:01:00] stopped\n",
      out.str());
}

TEST(LiveViewTest, ScreenShowsTheMachine) {
  SimulatedMac mac(At79());
  Write(mac, "ACLC", {0x04});
  mac.smc().SetValue("CHIE", {0x08});
  mac.Advance(0);
  std::vector<std::string> screen = LiveScreen(mac, "/run/smc", 600);
  ASSERT_GE(screen.size(), 9u);
  EXPECT_EQ("ampsim  firmware at /run/smc  time x600  simulated 00:00:00",
            screen[0]);
  EXPECT_EQ("Battery  [" + std::string(32, '#') + std::string(8, '.') +
                "]  79.0 %  (3555 / 4500 mAh)",
            screen[1]);
  EXPECT_EQ("Power    draining (adapter cut off by CHIE 08)", screen[2]);
  EXPECT_EQ("Adapter  CHIE 08, cut off", screen[3]);
  EXPECT_EQ("LED      amber (ACLC 04)", screen[4]);
  EXPECT_EQ(
      "Keys     ACLC 04  CHIE 08  bfD0 64000000  bfE0 63000000  bfF0 00  ",
      screen[5]);
  EXPECT_EQ("Faults   none", screen[6]);
  EXPECT_EQ("Last SMC writes (1)", screen[7]);
  EXPECT_EQ("  00:00:00  ACLC 04", screen[8]);
}

TEST(LiveViewTest, RedrawsInPlace) {
  std::ostringstream out;
  SimulatedMac mac(At79());
  LiveView view(out, "/run/smc", 1);
  view.Update(mac, 10);
  view.Update(mac, 10.1);  // too soon: no second screen
  EXPECT_EQ(0u, out.str().find("\x1b[2J\x1b[?25l\x1b[H"));
  EXPECT_EQ(std::string::npos, out.str().find("\x1b[H", 11));
  view.Finish(mac);
  EXPECT_NE(std::string::npos, out.str().find("\x1b[H", 11));
  EXPECT_NE(std::string::npos, out.str().find("\x1b[?25hstopped\n"));
}

TEST(ChartTest, ScriptQuotesPaths) {
  std::string script = ChartScript("/tmp/it's.tsv", "/tmp/out.png");
  EXPECT_NE(std::string::npos, script.find("set output '/tmp/out.png'\n"));
  EXPECT_NE(std::string::npos, script.find("plot '/tmp/it''s.tsv' using 1:2"));
}

TEST(ChartTest, DrawsAPng) {
  if (access("/usr/bin/gnuplot", X_OK) != 0) GTEST_SKIP() << "no gnuplot";
  std::string trace_path = ::testing::TempDir() + "chart_test.tsv";
  std::string png_path = ::testing::TempDir() + "chart_test.png";
  SimulatedMac mac(At79());
  {
    TraceWriter trace(trace_path);
    RunScenario(mac, trace);
  }
  DrawChart(trace_path, png_path);
  EXPECT_EQ(0u, ReadFile(png_path).find("\x89PNG"));
  EXPECT_NE(0, access((png_path + ".gnuplot").c_str(), F_OK));
  unlink(trace_path.c_str());
  unlink(png_path.c_str());
}

}  // namespace
}  // namespace ampervale::sim
