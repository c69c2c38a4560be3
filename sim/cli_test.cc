#include "sim/cli.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "common/native_control_error.h"
#include "sim/serve.h"
#include "sim/server.h"

namespace ampervale::sim {
namespace {

std::string RunTool(const std::vector<std::string>& arguments) {
  std::ostringstream out;
  try {
    RunSimulatorTool(arguments, out);
  } catch (const NativeControlError& error) {
    return "error: " + error.description();
  }
  return out.str();
}

class SimulatorToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "ampsim_cli_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern.data()));
    directory_ = pattern;
    socket_ = directory_ + "/smc";
  }
  void TearDown() override {
    if (thread_.joinable()) {
      server_->Stop();
      thread_.join();
    }
    server_.reset();
    rmdir(directory_.c_str());
  }
  void Start() {
    ServerOptions options;
    options.socket_path = socket_;
    options.real_clock = [] { return 0.0; };
    server_ = std::make_unique<Server>(mac_, options);
    thread_ = std::thread([this] { server_->Run(); });
  }

  SimulatedMac mac_{BuiltInMachine("legacy-pair")};
  std::string directory_;
  std::string socket_;
  std::unique_ptr<Server> server_;
  std::thread thread_;
};

TEST_F(SimulatorToolTest, HelpProfilesAndArgumentErrors) {
  EXPECT_EQ(SimulatorHelpText(), RunTool({}));
  EXPECT_EQ(SimulatorHelpText(), RunTool({"key", "--socket", "s", "-h"}));
  EXPECT_EQ(SimulatorHelpText(), RunTool({"help"}));
  EXPECT_EQ(BuiltInMachineJson("unsupported"),
            RunTool({"profile", "unsupported"}));
  EXPECT_EQ("error: Unknown ampsim command start; see ampsim --help",
            RunTool({"start"}));
  EXPECT_EQ("error: Usage: ampsim battery --socket PATH PERCENT",
            RunTool({"battery", "--socket", socket_}));
  EXPECT_EQ("error: Cannot reach the simulator at " + socket_ +
                ": No such file or directory",
            RunTool({"state", "--socket", socket_}));
  EXPECT_EQ("error: Give either --profile or --machine, not both",
            RunTool({"serve", "--socket", socket_, "--profile", "firmware",
                     "--machine", "m.json"}));
  EXPECT_EQ("error: The time scale must be above 0 and at most 1000000",
            RunTool({"serve", "--socket", socket_, "--time-scale", "0"}));
  EXPECT_EQ("error: Cannot read the trace " + directory_ +
                "/none.tsv: No such file or directory",
            RunTool({"chart", "--trace", directory_ + "/none.tsv", "--out",
                     directory_ + "/chart.png"}));
}

TEST_F(SimulatorToolTest, ArrangesAndReadsARunningSimulator) {
  Start();
  std::vector<std::string> socket{"--socket", socket_};
  auto with_socket = [&](std::vector<std::string> words) {
    words.insert(words.begin() + 1, socket.begin(), socket.end());
    return RunTool(words);
  };
  EXPECT_EQ("", with_socket({"wait"}));
  EXPECT_EQ("00\n", with_socket({"key", "CH0B"}));
  EXPECT_EQ("", with_socket({"set-key", "CH0B", "02"}));
  EXPECT_EQ("02\n", with_socket({"key", "CH0B"}));
  EXPECT_EQ("", with_socket({"set-key", "BNum", "01"}));
  EXPECT_EQ("", with_socket({"remove-key", "BNum"}));
  EXPECT_EQ("error: The machine has no key BNum", with_socket({"key", "BNum"}));
  EXPECT_EQ("", with_socket({"battery", "80"}));
  EXPECT_EQ("", with_socket({"fault", "width", "CH0C", "2"}));
  EXPECT_EQ(
      "error: Control request field value: expected 1 to 32 bytes as "
      "hex digits",
      with_socket({"set-key", "CH0B", "2"}));
  nlohmann::json state = nlohmann::json::parse(with_socket({"state"}));
  EXPECT_EQ(80, state["battery"]["percentage"]);
  EXPECT_EQ("holding", state["power"]);
  EXPECT_EQ("charging inhibited by CH0B 02", state["reason"]);
  EXPECT_EQ(1u, state["faults"].size());
  EXPECT_EQ(
      "80 % holding (charging inhibited by CH0B 02); adapter CH0I 00, "
      "supplying power; LED green (ACLC 00)\n",
      with_socket({"summary"}));
  EXPECT_EQ("",
            with_socket({"wait", "--power", "holding", "--at-least", "80"}));
  EXPECT_EQ("error: The simulator at " + socket_ +
                " did not reach power draining, at most 79 % within 0.1 "
                "seconds (now 80 % holding (charging inhibited by CH0B 02); "
                "adapter CH0I 00, supplying power; LED green (ACLC 00))",
            with_socket({"wait", "--power", "draining", "--at-most", "79",
                         "--timeout", "0.1"}));
  EXPECT_EQ("", with_socket({"fault", "--clear"}));
  EXPECT_EQ("", with_socket({"clear-writes"}));
  state = nlohmann::json::parse(with_socket({"state"}));
  EXPECT_TRUE(state["faults"].empty());
}

TEST_F(SimulatorToolTest, WaitGivesUp) {
  EXPECT_EQ(
      "error: No simulator answered at " + socket_ + " within 0.1 seconds",
      RunTool({"wait", "--socket", socket_, "--timeout", "0.1"}));
}

TEST_F(SimulatorToolTest, ServeStopsOnSIGTERMAndRemovesTheSocket) {
  std::ostringstream log;
  std::string error;
  std::thread serving([&] {
    try {
      ServeSettings settings;
      settings.socket_path = socket_;
      settings.profile = "legacy-single";
      Serve(settings, log);
    } catch (const NativeControlError& failure) {
      error = failure.description();
    }
  });
  EXPECT_EQ("", RunTool({"wait", "--socket", socket_}));
  kill(getpid(), SIGTERM);
  serving.join();
  EXPECT_EQ("", error);
  EXPECT_NE(0, access(socket_.c_str(), F_OK));
  EXPECT_NE(std::string::npos, log.str().find("] serving legacy-single at " +
                                              socket_ + " (time scale 1)\n"))
      << log.str();
  EXPECT_NE(std::string::npos, log.str().find("] stopped\n")) << log.str();
}

}  // namespace
}  // namespace ampervale::sim
