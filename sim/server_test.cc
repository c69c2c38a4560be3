#include "sim/server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <set>
#include <thread>

#include "common/native_control_error.h"
#include "platform/battery.h"
#include "platform/io_return.h"
#include "platform/simulator_socket.h"
#include "platform/smc_client.h"
#include "sim/control_client.h"
#include "sim/hex.h"
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
  bool Send(const std::vector<uint8_t>& bytes) {
    return socket_.SendAll(bytes.data(), bytes.size());
  }
  std::optional<std::vector<uint8_t>> Receive(size_t count) {
    std::vector<uint8_t> bytes(count);
    if (!socket_.ReceiveAll(bytes.data(), count)) return std::nullopt;
    return bytes;
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

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "ampsim_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern.data()));
    directory_ = pattern;
    socket_path_ = directory_ + "/smc";
    mac_ = std::make_unique<SimulatedMac>(BuiltInMachine("firmware"));
  }

  void TearDown() override {
    Stop();
    unsetenv(platform::kSimulatorVariable);
    rmdir(directory_.c_str());
  }

  void Start() {
    server_ = std::make_unique<Server>(*mac_, OptionsFor(socket_path_));
    thread_ = std::thread([this] { server_->Run(); });
    setenv(platform::kSimulatorVariable, socket_path_.c_str(), 1);
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

  std::string directory_;
  std::string socket_path_;
  std::unique_ptr<SimulatedMac> mac_;
  std::unique_ptr<Server> server_;
  std::thread thread_;
};

TEST_F(ServerTest, PlatformClientOpensAndExchanges) {
  Start();
  platform::SMCOpenResult opened = platform::OpenSMC();
  ASSERT_TRUE(opened.service_found);
  EXPECT_EQ(platform::kIOReturnSuccess, opened.code);
  ASSERT_TRUE(opened.connection);
  NativeSMCPacket request("ACLC", kSMCKeyInformation, 0, {});
  NativeSMCPacket reply("    ", 0, 0, {});
  size_t length = 80;
  EXPECT_EQ(platform::kIOReturnSuccess,
            opened.connection->CallStructMethod(
                std::span<const uint8_t, 80>(request.bytes),
                std::span<uint8_t, 80>(reply.bytes), &length));
  EXPECT_EQ(80u, length);
  EXPECT_EQ(1u, reply.uint32(NativeSMCPacket::kDataSizeOffset));
}

TEST_F(ServerTest, TransportReadsAndWritesEndToEnd) {
  mac_->smc().SetValue("ACLC", {0x03});
  Start();
  NativeSMCTransport transport;
  EXPECT_EQ("03", ToHex(transport.read("ACLC")));
  transport.write("bfD0", {0x50, 0, 0, 0});
  transport.write("ACLC", {0x04});
  EXPECT_EQ("04", Control({{"command", "key"}, {"key", "ACLC"}})["value"]);
  Stop();
  ASSERT_EQ(2u, mac_->smc().writes().size());
  EXPECT_EQ("bfD0", mac_->smc().writes()[0].key);
  EXPECT_EQ("50000000", ToHex(mac_->smc().writes()[0].bytes));
  EXPECT_EQ("ACLC", mac_->smc().writes()[1].key);
}

TEST_F(ServerTest, RefusedOpens) {
  static const struct {
    int32_t code;
    std::string error;
  } cases[] = {
      {platform::kIOReturnNotPrivileged,
       "Cannot open AppleSMC (IOKit -536870207); use the privileged helper"},
      {0, "Cannot open AppleSMC (IOKit 0); use the privileged helper"},
      {platform::kIOReturnError,
       "Cannot open AppleSMC (IOKit -536870212); use the privileged helper"},
  };
  Start();
  for (const auto& c : cases) {
    Control({{"command", "fault"},
             {"fault", {{"kind", "refuse-open"}, {"code", c.code}}}});
    EXPECT_EQ(c.error, ErrorOf([] { NativeSMCTransport transport; }));
  }
}

TEST_F(ServerTest, SimulatorGoingAwayMidExchangeIsNotResponding) {
  Start();
  Control(
      {{"command", "fault"},
       {"fault", {{"kind", "disconnect"}, {"key", "ACLC"}, {"command", 5}}}});
  NativeSMCTransport dropped;
  EXPECT_EQ("SMC ACLC command 5: request failed (IOKit 0xe00002ed, SMC 0)",
            ErrorOf([&] { dropped.read("ACLC"); }));
  NativeSMCTransport orphaned;
  Stop();
  EXPECT_EQ("SMC ACLC command 9: request failed (IOKit 0xe00002ed, SMC 0)",
            ErrorOf([&] { orphaned.read("ACLC"); }));
  EXPECT_NE(0, access(socket_path_.c_str(), F_OK));  // removed
}

TEST_F(ServerTest, SimulatorKilledMidSessionIsNotResponding) {
  pid_t child = fork();
  if (child == 0) {
    try {
      Server server(*mac_, OptionsFor(socket_path_));
      server.Run();
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
  setenv(platform::kSimulatorVariable, socket_path_.c_str(), 1);
  // The socket appears only once the child listens.
  for (int i = 0; i < 500 && access(socket_path_.c_str(), F_OK) != 0; ++i) {
    usleep(10 * 1000);
  }
  NativeSMCTransport transport;
  EXPECT_EQ("00", ToHex(transport.read("ACLC")));
  reaper.Kill();
  EXPECT_EQ("SMC ACLC command 9: request failed (IOKit 0xe00002ed, SMC 0)",
            ErrorOf([&] { transport.read("ACLC"); }));
  Start();  // over the socket the killed simulator left behind
  EXPECT_EQ("00", ToHex(NativeSMCTransport().read("ACLC")));
}

TEST_F(ServerTest, BatteryCapacities) {
  Start();
  std::optional<platform::BatteryCapacities> battery =
      platform::ReadBatteryCapacities();
  ASSERT_TRUE(battery);
  EXPECT_EQ(2250, battery->current);
  EXPECT_EQ(4500, battery->maximum);
  Control({{"command", "fault"},
           {"fault",
            {{"kind", "capacity"},
             {"property", "MaxCapacity"},
             {"value", "text"}}}});
  battery = platform::ReadBatteryCapacities();
  ASSERT_TRUE(battery);
  EXPECT_EQ(2250, battery->current);
  EXPECT_EQ(std::nullopt, battery->maximum);
  Control({{"command", "fault"}, {"fault", {{"kind", "no-battery"}}}});
  EXPECT_FALSE(platform::ReadBatteryCapacities());
}

TEST_F(ServerTest, MisbehavingClientsDisturbNobodyElse) {
  Start();
  NativeSMCTransport steady;
  NativeSMCPacket request("ACLC", kSMCReadKey, 1, {});
  std::vector<uint8_t> half(request.bytes.begin(), request.bytes.begin() + 40);
  {
    RawClient garbage(socket_path_);
    garbage.Send({'G', 'E', 'T', ' ', '/', '\n'});
    EXPECT_EQ(std::nullopt, garbage.Receive(1));  // closed without an answer
    RawClient silent(socket_path_);               // says nothing at all
    RawClient half_request(socket_path_);
    half_request.Send({0x01});
    ASSERT_TRUE(half_request.Receive(8));
    half_request.Send(half);
    RawClient half_name(socket_path_);
    half_name.Send({0x02, 15, 'C', 'u', 'r'});
    EXPECT_EQ("00", ToHex(steady.read("ACLC")));
  }  // the three go away mid-request
  EXPECT_EQ("00", ToHex(steady.read("ACLC")));
  NativeSMCTransport newcomer;
  newcomer.write("ACLC", {0x03});
  EXPECT_EQ("03", ToHex(steady.read("ACLC")));
}

std::string ThreadKey(int thread) { return "T00" + std::to_string(thread); }

TEST_F(ServerTest, ManyClientsAtOnce) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 20;
  for (int t = 0; t < kThreads; ++t) mac_->smc().SetValue(ThreadKey(t), {0});
  Start();
  std::vector<std::thread> threads;
  std::vector<std::string> failures(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      try {
        NativeSMCTransport transport;
        for (int round = 0; round < kRounds; ++round) {
          // Each its own key, so that every read-back must match.
          transport.write(ThreadKey(t), {static_cast<uint8_t>(round)});
          transport.read("ACLC");
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
            mac_->smc().writes().size());
}

TEST_F(ServerTest, HandlesAreDistinctAndNonZero) {
  Start();
  std::vector<std::unique_ptr<RawClient>> clients;
  std::set<uint32_t> handles;
  for (int i = 0; i < 10; ++i) {
    clients.push_back(std::make_unique<RawClient>(socket_path_));
    clients.back()->Send({0x01});
    std::optional<std::vector<uint8_t>> greeting = clients.back()->Receive(8);
    ASSERT_TRUE(greeting);
    EXPECT_EQ(0u,
              LittleEndianValue({greeting->begin(), greeting->begin() + 4}));
    handles.insert(static_cast<uint32_t>(
        LittleEndianValue({greeting->begin() + 4, greeting->end()})));
  }
  EXPECT_EQ(10u, handles.size());
  EXPECT_FALSE(handles.contains(0));
}

mode_t ModeOf(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}

TEST_F(ServerTest, SocketModeFollowsThePrivateSocketFault) {
  Start();
  EXPECT_EQ(0666u, ModeOf(socket_path_));
  Control({{"command", "fault"}, {"fault", {{"kind", "private-socket"}}}});
  Control({{"command", "state"}});  // the change lands before this answer
  EXPECT_EQ(0600u, ModeOf(socket_path_));
  Control({{"command", "clear-faults"}});
  Control({{"command", "state"}});
  EXPECT_EQ(0666u, ModeOf(socket_path_));
}

TEST_F(ServerTest, OrdinaryUserIsRefusedByAPrivateSocket) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch users";
  Fault private_socket;
  private_socket.kind = FaultKind::kPrivateSocket;
  mac_->smc().faults().Add(private_socket);
  chmod(directory_.c_str(), 0755);
  Start();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, socket_path_.c_str());
  // The child makes system calls only: the parent has threads.
  pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    int refused = connect(fd, reinterpret_cast<sockaddr*>(&address),
                          sizeof address) != 0 &&
                  errno == EACCES;
    _exit(refused ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST_F(ServerTest, SocketPathRules) {
  Start();
  EXPECT_EQ("Another simulator is serving " + socket_path_, ErrorOf([this] {
              Server second(*mac_, OptionsFor(socket_path_));
            }));
  Stop();
  EXPECT_NE(0, access(socket_path_.c_str(), F_OK));
  std::string file = directory_ + "/file";
  close(open(file.c_str(), O_CREAT | O_WRONLY, 0600));
  EXPECT_EQ(file + " exists and is not a socket",
            ErrorOf([&] { Server other(*mac_, OptionsFor(file)); }));
  unlink(file.c_str());
}

TEST_F(ServerTest, StaleSocketIsReplaced) {
  {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socket_path_.c_str());
    ASSERT_EQ(0,
              bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
    close(fd);  // bound but never listening: what a killed simulator leaves
  }
  Start();
  EXPECT_EQ("00", Control({{"command", "key"}, {"key", "ACLC"}})["value"]);
}

}  // namespace
}  // namespace ampervale::sim
