// Control commands over the real transport to a simulated Mac that fails
// one exchange: the command must fail, never report success on a reply
// that belongs to another request.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <thread>

#include "platform/simulator_socket.h"
#include "sim/machine.h"
#include "sim/session.h"
#include "tools/ampctl/tool_test_support.h"

namespace ampervale {
namespace {

using std::chrono::milliseconds;

enum class Fault { kNone, kLate, kLong, kDrip };

// Serves one SMC client from `mac`, but answers its exchange number `at`
// (from 1) as `fault` says: only once the client sent more or closed, with
// a count of 88 whose excess is a whole answer, or a byte every 15 ms.
class FaultySimulator {
 public:
  FaultySimulator(const std::string& path, sim::SimulatedMac& mac, Fault fault,
                  int at)
      : mac_(mac), fault_(fault), at_(at) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 1);
    thread_ = std::thread([this] { Serve(); });
  }
  // The number of requests served.
  int Join() {
    thread_.join();
    close(listener_);
    return exchanges_;
  }

 private:
  void Serve() {
    pollfd ready{listener_, POLLIN, 0};
    if (poll(&ready, 1, 5000) != 1) return;
    int fd = accept(listener_, nullptr, nullptr);
    timeval bound{5, 0};  // only for a client that neither sends nor closes
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    sim::Session session(1);
    std::vector<uint8_t> input(1);
    while (recv(fd, input.data(), input.size(), MSG_WAITALL) ==
           static_cast<ssize_t>(input.size())) {
      session.Feed(input, mac_);
      std::vector<uint8_t> answer;
      answer.swap(session.output());
      if (input.size() == 80 && ++exchanges_ == at_)
        Misbehave(fd, answer);
      else
        send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
      input.resize(80);
    }
    close(fd);
  }

  void Misbehave(int fd, std::vector<uint8_t> answer) {
    pollfd ready{fd, POLLIN, 0};
    if (fault_ == Fault::kLate) poll(&ready, 1, 5000);
    if (fault_ == Fault::kLong) {
      std::vector<uint8_t> header = {0, 0, 0, 0, 88, 0, 0, 0};
      answer.insert(answer.begin(), header.begin(), header.end());
    }
    size_t step = fault_ == Fault::kDrip ? 1 : answer.size();
    for (size_t at = 0; at < answer.size(); at += step) {
      if (fault_ == Fault::kDrip) usleep(15'000);
      if (send(fd, &answer[at], step, MSG_NOSIGNAL) < 0) return;
    }
  }

  sim::SimulatedMac& mac_;
  Fault fault_;
  int at_;
  int listener_;
  int exchanges_ = 0;
  std::thread thread_;
};

struct Command {
  NativeBackendTool::Arguments arguments;
  const char* key;
  uint8_t before;
};

struct Outcome {
  std::string error, out, policy;
  int exchanges;
};

const char kPolicy[] = R"({"upperLimit":80})";

Outcome RunAgainst(const Command& command, Fault fault, int at) {
  testing::ToolHarness harness;
  harness.StartDaemon();
  harness.StorePolicy(kPolicy);
  sim::SimulatedMac mac(sim::BuiltInMachine("firmware"));
  mac.smc().SetValue(command.key, {command.before});
  std::string path = harness.scratch.path() / "smc";
  setenv(platform::kSimulatorVariable, path.c_str(), 1);
  FaultySimulator simulator(path, mac, fault, at);
  PowerToolContext context = harness.Context(0);
  context.openSMC = [] { return std::make_shared<NativeSMCTransport>(); };
  std::string error = testing::ThrownText(
      [&] { NativeBackendTool::runPowerTool(command.arguments, context); });
  int exchanges = simulator.Join();
  unsetenv(platform::kSimulatorVariable);
  return {error, harness.out.str(), harness.StoredPolicy(), exchanges};
}

TEST(FailedExchangeTest, ControlCommandsNeverSucceedOnAFailedExchange) {
  static const Command commands[] = {
      {{"adapter", "enable"}, "CHIE", 0x08},
      {{"magsafe-led", "enable"}, "ACLC", 0x03},
  };
  for (const Command& command : commands) {
    std::string name = testing::Joined(command.arguments);
    Outcome clean = RunAgainst(command, Fault::kNone, 0);
    ASSERT_EQ("(nothing thrown)", clean.error) << name;
    ASSERT_EQ("Hardware operation verified\n", clean.out) << name;
    // A short limit, so that a late or dripping answer is given up on soon.
    platform::SetSimulatorExchangeLimit(milliseconds(50));
    for (Fault fault : {Fault::kLate, Fault::kLong, Fault::kDrip}) {
      for (int at = 1; at <= clean.exchanges; ++at) {
        Outcome failed = RunAgainst(command, fault, at);
        std::string which = name + " fault " +
                            std::to_string(static_cast<int>(fault)) +
                            " at exchange " + std::to_string(at);
        EXPECT_NE("(nothing thrown)", failed.error) << which;
        EXPECT_EQ("", failed.out) << which;
        EXPECT_EQ(kPolicy, failed.policy) << which;
        EXPECT_GE(at, failed.exchanges) << which;  // none after the failure
      }
    }
    platform::SetSimulatorExchangeLimit(milliseconds(10'000));
  }
}

}  // namespace
}  // namespace ampervale
