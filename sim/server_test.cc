#include "sim/server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <thread>

#include "common/native_control_error.h"
#include "platform/io_return.h"
#include "platform/simulator_socket.h"
#include "sim/control_client.h"
#include "sim/hex.h"
#include "sim/serve.h"
#include "smc/smc_transport.h"

namespace ampervale::sim {
namespace {

std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const NativeControlError& error) {
    return error.description();
  }
  return "no error";
}

// A client that speaks raw bytes, to misbehave as real clients may.
class RawClient {
 public:
  explicit RawClient(const std::string& path) {
    EXPECT_EQ(0, socket_.Connect(path));
  }
  void Send(const std::vector<uint8_t>& bytes) {
    socket_.SendAll(bytes.data(), bytes.size());
  }
  bool Receives(size_t count) {
    std::vector<uint8_t> bytes(count);
    return socket_.ReceiveAll(bytes.data(), count);
  }

 private:
  platform::SimulatorSocket socket_;
};

ServerOptions OptionsFor(const std::string& path) {
  ServerOptions options;
  options.socket_path = path;
  options.real_clock = [] { return 0.0; };  // the battery stands still
  return options;
}

// Waits, boundedly, until a simulator started elsewhere accepts clients.
void AwaitSimulator(const std::string& path) {
  for (int i = 0; i < 500; ++i) {
    if (platform::SimulatorSocket().Connect(path) == 0) return;
    usleep(10 * 1000);
  }
}

const char kNotResponding[] =
    "SMC ACLC command 9: request failed (IOKit 0xe00002ed, SMC 0)";

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "ampsim_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern.data()));
    directory_ = pattern;
    socket_path_ = directory_ + "/smc";
    setenv(platform::kSimulatorVariable, socket_path_.c_str(), 1);
  }

  void TearDown() override {
    Stop();
    unsetenv(platform::kSimulatorVariable);
    rmdir(directory_.c_str());
  }

  void Start() {
    server_ = std::make_unique<Server>(mac_, OptionsFor(socket_path_));
    thread_ = std::thread([this] { server_->Run(); });
  }

  void Stop() {
    if (thread_.joinable()) {
      server_->Stop();
      thread_.join();
    }
    server_.reset();
  }

  nlohmann::json Control(const nlohmann::json& request) {
    return SendControl(socket_path_, request);
  }

  void Fault(const nlohmann::json& fault) {
    Control({{"command", "fault"}, {"fault", fault}});
  }

  std::string directory_;
  std::string socket_path_;
  SimulatedMac mac_{BuiltInMachine("firmware")};
  std::unique_ptr<Server> server_;
  std::thread thread_;
};

TEST_F(ServerTest, RefusedOpenIsNeverTakenForSuccess) {
  Start();
  for (int32_t code : {platform::kIOCodeNotPrivileged, 0}) {
    Fault({{"kind", "refuse-open"}, {"code", code}});
    EXPECT_EQ("Cannot open AppleSMC (IOKit " + std::to_string(code) +
                  "); use the privileged helper",
              ErrorOf([] { NativeSMCTransport transport; }));
  }
}

TEST_F(ServerTest, SimulatorGoingAwayIsNotRespondingAndRemovesTheSocket) {
  Start();
  Fault({{"kind", "disconnect"}, {"key", "ACLC"}, {"command", 5}});
  NativeSMCTransport dropped;
  EXPECT_EQ("SMC ACLC command 5: request failed (IOKit 0xe00002ed, SMC 0)",
            ErrorOf([&] { dropped.read("ACLC"); }));
  NativeSMCTransport orphaned;
  Stop();
  EXPECT_EQ(kNotResponding, ErrorOf([&] { orphaned.read("ACLC"); }));
  EXPECT_NE(0, access(socket_path_.c_str(), F_OK));
}

TEST_F(ServerTest, SimulatorKilledMidSessionIsNotResponding) {
  pid_t child = fork();
  if (child == 0) {
    try {
      Server(mac_, OptionsFor(socket_path_)).Run();
    } catch (...) {
    }
    _exit(0);
  }
  // Ends the child however the test ends.
  struct Reaper {
    pid_t pid;
    void Kill() {
      if (pid <= 0) return;
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      pid = 0;
    }
    ~Reaper() { Kill(); }
  } reaper{child};
  AwaitSimulator(socket_path_);
  NativeSMCTransport transport;
  EXPECT_EQ("00", ToHex(transport.read("ACLC")));
  reaper.Kill();
  EXPECT_EQ(kNotResponding, ErrorOf([&] { transport.read("ACLC"); }));
  Start();  // over the socket the killed simulator left behind
  EXPECT_EQ("00", ToHex(NativeSMCTransport().read("ACLC")));
}

TEST_F(ServerTest, MisbehavingClientsDisturbNobodyElse) {
  Start();
  NativeSMCTransport steady;
  std::vector<uint8_t> request =
      NativeSMCPacket("ACLC", kSMCReadKey, 1, {}).bytes;
  {
    RawClient garbage(socket_path_);
    garbage.Send({'G', 'E', 'T', ' ', '/', '\n'});
    EXPECT_FALSE(garbage.Receives(1));  // closed without an answer
    RawClient silent(socket_path_);
    RawClient half_request(socket_path_);
    half_request.Send({0x01});
    ASSERT_TRUE(half_request.Receives(8));
    half_request.Send({request.begin(), request.begin() + 40});
    RawClient half_name(socket_path_);
    half_name.Send({0x02, 15, 'C', 'u', 'r'});
    EXPECT_EQ("00", ToHex(steady.read("ACLC")));
  }  // the three go away mid-request
  EXPECT_EQ("00", ToHex(steady.read("ACLC")));
  NativeSMCTransport newcomer;
  newcomer.write("ACLC", {0x03});
  EXPECT_EQ("03", ToHex(steady.read("ACLC")));
}

TEST_F(ServerTest, ManyClientsAtOnce) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 20;
  auto key = [](int thread) { return "T00" + std::to_string(thread); };
  for (int t = 0; t < kThreads; ++t) mac_.smc().SetValue(key(t), {0xFF});
  Start();
  std::vector<std::thread> threads;
  std::vector<std::string> failures(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &key, &failures] {
      try {
        NativeSMCTransport transport;
        // Each its own key, so that every verifying read-back must match.
        for (int round = 0; round < kRounds; ++round) {
          transport.write(key(t), {static_cast<uint8_t>(round)});
        }
      } catch (const NativeControlError& error) {
        failures[t] = error.description();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ("", failures[t]) << t;
  Stop();
  EXPECT_EQ(static_cast<size_t>(kThreads * kRounds),
            mac_.smc().writes().size());
}

mode_t ModeOf(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}

TEST_F(ServerTest, SocketModeFollowsThePrivateSocketFault) {
  Start();
  EXPECT_EQ(0666u, ModeOf(socket_path_));
  Fault({{"kind", "private-socket"}});
  Control({{"command", "state"}});  // the change lands before this answer
  EXPECT_EQ(0600u, ModeOf(socket_path_));
  Control({{"command", "clear-faults"}});
  Control({{"command", "state"}});
  EXPECT_EQ(0666u, ModeOf(socket_path_));
}

TEST_F(ServerTest, NeverTakesOverAnotherSimulatorOrAFile) {
  Start();
  EXPECT_EQ("Another simulator is serving " + socket_path_,
            ErrorOf([this] { Server second(mac_, OptionsFor(socket_path_)); }));
  Stop();
  std::string file = directory_ + "/file";
  close(open(file.c_str(), O_CREAT | O_WRONLY, 0600));
  EXPECT_EQ(file + " exists and is not a socket",
            ErrorOf([&] { Server over_file(mac_, OptionsFor(file)); }));
  EXPECT_EQ(0, unlink(file.c_str()));  // still there
}

TEST_F(ServerTest, ServeStopsOnSIGTERMAndRemovesTheSocket) {
  std::ostringstream log;
  std::string error = "still serving";
  std::thread serving([&] {
    ServeSettings settings;
    settings.socket_path = socket_path_;
    error = ErrorOf([&] { Serve(settings, log); });
  });
  AwaitSimulator(socket_path_);
  EXPECT_EQ("no error", ErrorOf([] { NativeSMCTransport().read("ACLC"); }));
  kill(getpid(), SIGTERM);
  serving.join();
  EXPECT_EQ("no error", error);
  EXPECT_NE(0, access(socket_path_.c_str(), F_OK));
}

}  // namespace
}  // namespace ampervale::sim
