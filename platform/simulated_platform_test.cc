#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <bit>
#include <thread>

#include "platform/battery.h"
#include "platform/os_version.h"
#include "platform/simulator_socket.h"
#include "platform/smc_client.h"
#include "smc/smc_transport.h"
#include "tools/ampctl/tool_test_support.h"

namespace ampervale::platform {
namespace {

using std::chrono::milliseconds;
using Bytes = std::string;
// Rows where the peer never completes its answer wait for the short limit;
// the others take the long one, so that a busy machine cannot fail them.
constexpr milliseconds kShortLimit(50), kLongLimit(10'000);

Bytes LE(uint64_t value, int width) {
  Bytes bytes;
  for (int i = 0; i < width; ++i) bytes.push_back(char(value >> (8 * i)));
  return bytes;
}

int Listen(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  // fcntl, not SOCK_CLOEXEC, which macOS lacks.
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
  EXPECT_EQ(0, listen(fd, 4));
  return fd;
}

// How the peer answers the first request block: a byte every 15 ms (never
// a gap as long as the limit), or after a signal has interrupted the
// client's wait.
enum class Fault { kNone, kDrip, kInterrupt };

// A simulated Mac for one client: `answer` turns the first byte, then each
// 80-byte request block, into what is sent back. It records all it
// received until the client closed; its bounds only keep a broken client
// from hanging the test, and a client that never closes is written down.
struct Peer {
  using Answer = std::function<Bytes(const Bytes&)>;
  Peer(const std::string& path, const Answer& answer,
       Fault fault = Fault::kNone)
      : thread_([=, this, listener = Listen(path)] {
          Serve(listener, answer, fault);
          unlink(path.c_str());
        }) {}
  ~Peer() { Join(); }
  const Bytes& Join() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }
  void Serve(int listener, const Answer& answer, Fault fault) {
    pollfd ready{listener, POLLIN, 0};
    int fd =
        poll(&ready, 1, 5000) == 1 ? accept(listener, nullptr, nullptr) : -1;
    close(listener);
    timeval bound{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    for (size_t size = 1; fd >= 0; size = 80) {
      char request[80];
      ssize_t got = recv(fd, request, size, MSG_WAITALL);
      if (got < 0 && errno == EAGAIN) received_ += "(the client hung on)";
      if (got <= 0) break;
      received_.append(request, got);
      Bytes bytes = answer(Bytes(request, got));
      bool faulty = got == 80 && ++exchanges_ == 1;
      if (faulty && fault == Fault::kInterrupt) {
        // The client waits for the answer by now, and has woken before it.
        usleep(50'000), pthread_kill(client_, SIGUSR1), usleep(50'000);
      }
      size_t step = faulty && fault == Fault::kDrip ? 1 : bytes.size();
      for (size_t i = 0; i < bytes.size(); i += step) {
        if (send(fd, &bytes[i], step, MSG_NOSIGNAL) < 0) break;
        if (step == 1) usleep(15'000);
      }
    }
    if (fd >= 0) close(fd);
  }

  int exchanges_ = 0;
  pthread_t client_ = pthread_self();
  Bytes received_;
  std::thread thread_;
};

// Sends `greeting` for the first byte and `reply` for any request block.
Peer::Answer Script(const Bytes& greeting, const Bytes& reply = "") {
  return [=](const Bytes& request) {
    return request.size() == 1 ? greeting : reply;
  };
}

struct SimulatedPlatformTest : ::testing::Test {
  void SetUp() override { setenv(kSimulatorVariable, path_.c_str(), 1); }
  void TearDown() override {
    unsetenv(kSimulatorVariable);
    SetSimulatorExchangeLimit(kLongLimit);
  }
  testing::ScratchDirectory scratch_;
  std::string path_ = scratch_.path() / "smc";
};

TEST_F(SimulatedPlatformTest, SocketPathMustFitWithItsTerminator) {
  size_t room = sizeof(sockaddr_un{}.sun_path);  // the NUL included
  std::string fits = path_ + std::string(room - 3 - path_.size(), 'd') + "/s";
  ASSERT_TRUE(std::filesystem::create_directory(fits.substr(0, room - 3)));
  ASSERT_EQ(room - 1, fits.size());
  int listener = Listen(fits);
  EXPECT_EQ(0, SimulatorSocket().Connect(fits));
  EXPECT_EQ(ENAMETOOLONG, SimulatorSocket().Connect(fits + "s"));
  close(listener);
}

// An open, then one exchange. After a failed exchange the reply buffer and
// length are as they were, the connection is closed and nothing more is
// sent on it.
TEST_F(SimulatedPlatformTest, OpenAndExchangeFailures) {
  const Bytes kGranted = LE(0, 4) + LE(7, 4);
  static const struct {
    const char* name;
    std::optional<Bytes> greeting;  // absent: a file, not a socket
    Bytes reply;
    int32_t opened, code;
    Bytes buffer;  // as the call leaves it, preset to 80 'b's; so is length
    milliseconds limit = kLongLimit;
    Fault fault = Fault::kNone;
  } cases[] = {
      {"short greeting", LE(0, 7), "", kIOCodeError, 0, "", kShortLimit},
      {"not a socket", std::nullopt, "", kIOCodeError, 0, ""},
      {"short, code", kGranted, LE(5, 4) + LE(3, 4) + "abc", 0, 5, "abc"},
      {"count 81", kGranted, LE(0, 4) + LE(81, 4) + Bytes(81, 'r'), 0,
       kIOCodeNotResponding, ""},
      {"drips", kGranted, LE(0, 4) + LE(3, 4) + "abc", 0, kIOCodeNotResponding,
       "", kShortLimit, Fault::kDrip},
      {"interrupted", kGranted, LE(0, 4) + LE(3, 4) + "abc", 0, 0, "abc",
       kLongLimit, Fault::kInterrupt},
  };
  struct sigaction interrupt {};  // without SA_RESTART: calls fail with EINTR
  interrupt.sa_handler = [](int) {};
  sigaction(SIGUSR1, &interrupt, nullptr);
  uint8_t request[80], buffer[80];
  memset(request, 'q', sizeof request);
  for (const auto& c : cases) {
    SetSimulatorExchangeLimit(c.opened ? c.limit : kLongLimit);
    std::optional<Peer> peer;
    if (c.greeting) peer.emplace(path_, Script(*c.greeting, c.reply), c.fault);
    if (!c.greeting) testing::WriteFile(path_, "");
    SMCOpenResult opened = OpenSMC();
    EXPECT_EQ(c.opened, opened.code) << c.name;
    memset(buffer, 'b', sizeof buffer);
    size_t length = 80;
    auto call = [&] {
      SetSimulatorExchangeLimit(c.limit);
      return opened.connection->CallStructMethod(request, buffer, &length);
    };
    EXPECT_EQ(c.code, opened.connection ? call() : c.code) << c.name;
    // A broken connection stays broken, and sends nothing more.
    EXPECT_EQ(c.code, c.code == kIOCodeNotResponding ? call() : c.code)
        << c.name;
    opened.connection.reset();
    EXPECT_EQ(c.buffer.empty() ? 80 : c.buffer.size(), length) << c.name;
    EXPECT_EQ(c.buffer + Bytes(80 - c.buffer.size(), 'b'),
              Bytes(reinterpret_cast<char*>(buffer), 80))
        << c.name;
    Bytes sent = opened.code ? "\x01" : "\x01" + Bytes(80, 'q');
    EXPECT_EQ(peer ? sent : "", peer ? peer->Join() : "") << c.name;
    std::filesystem::remove(path_);
  }
  EXPECT_EQ(kIOCodeNotPrivileged, ConnectFailureCode(EPERM));
  EXPECT_EQ(kIOCodeNotPrivileged, ConnectFailureCode(EACCES));
  EXPECT_EQ(kIOCodeError, ConnectFailureCode(ECONNREFUSED));
  // A socket the caller may not write; root may write anything, so the
  // attempt is made as nobody.
  chmod(scratch_.path().c_str(), 0711);
  int listener = Listen(path_);
  uid_t user = geteuid();
  ASSERT_EQ(0, user == 0 ? seteuid(65534) : chmod(path_.c_str(), 0));
  int32_t refused = OpenSMC().code;
  ASSERT_EQ(0, user == 0 ? seteuid(0) : 0);
  EXPECT_EQ(kIOCodeNotPrivileged, refused);
  close(listener);
}

TEST_F(SimulatedPlatformTest, BatteryPropertiesKeepTheirSignAndKind) {
  const Bytes kReal = "\x02" + LE(std::bit_cast<uint64_t>(2.5), 8);
  static const struct {
    const char* name;
    Bytes answers;
    std::optional<double> current, maximum;
    milliseconds limit = kLongLimit;  // kShortLimit: the connection breaks
  } cases[] = {
      {"negative integer, real", "\x01\x01" + LE(-4500, 8) + kReal, -4500, 2.5},
      {"missing, not a number", Bytes("\x01\x00\x03", 3), {}, {}},
      {"short", "\x01\x02" + LE(0, 7), {}, {}, kShortLimit},
  };
  for (const auto& c : cases) {
    SetSimulatorExchangeLimit(c.limit);
    Peer peer(path_, Script(c.answers));
    std::optional<BatteryCapacities> read = ReadBatteryCapacities();
    ASSERT_TRUE(read) << c.name;
    EXPECT_EQ(c.current, read->current) << c.name;
    EXPECT_EQ(c.maximum, read->maximum) << c.name;
    Bytes asked = "\x02\017CurrentCapacity\x0bMaxCapacity";
    if (c.limit == kShortLimit) asked.resize(17);  // nothing after a failure
    EXPECT_EQ(asked, peer.Join()) << c.name;
  }
  Peer absent(path_, Script(Bytes(1, '\0')));
  EXPECT_FALSE(ReadBatteryCapacities());
}

// No socket is no SMC; a reply shorter than the block is a failure even
// when its code says success.
TEST_F(SimulatedPlatformTest, TransportRefusesAShortSuccessfulReply) {
  EXPECT_EQ("AppleSMC is unavailable on this Mac",
            ControlErrorOf([] { NativeSMCTransport(); }));
  Peer peer(path_, Script(LE(0, 4) + LE(7, 4),
                          LE(0, 4) + LE(79, 4) + Bytes(79, '\0')));
  NativeSMCTransport transport;
  EXPECT_EQ("SMC ACLC command 9: request failed (IOKit 0x00000000, SMC 0)",
            ControlErrorOf([&] { transport.read("ACLC"); }));
}

TEST(OperatingSystemVersionTest, NamesTheSystemWithoutQuotes) {
  const std::string version = OperatingSystemVersionString();
  EXPECT_NE("", version);
  EXPECT_EQ(std::string::npos, version.find('"')) << version;
}

}  // namespace
}  // namespace ampervale::platform
