#include "platform/simulator_socket.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <bit>
#include <thread>

#include "platform/battery.h"
#include "platform/smc_client.h"
#include "store/test_support.h"

namespace ampervale::platform {
namespace {

using std::chrono::milliseconds;
using Bytes = std::string;
// Rows where the peer never completes its answer wait for the short limit;
// the others take the long one, so that a busy machine cannot fail them.
constexpr milliseconds kShort(50), kLong(10'000);

int Listen(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
  EXPECT_EQ(0, listen(fd, 4));
  return fd;
}

// A simulator that answers one client from a script: `greeting` once the
// first byte came, `reply` (dripped a byte at a time if asked) once an
// 80-byte request followed. It records all it received until the client
// closed; the bounds only keep a broken client from hanging the test, and
// a client that never closes is written down.
class Peer {
 public:
  Peer(const std::string& path, Bytes greeting, Bytes reply = "",
       bool drip = false)
      : path_(path), listener_(Listen(path)) {
    thread_ = std::thread([=, this] { Serve(greeting, reply, drip); });
  }
  ~Peer() { Join(); }
  const Bytes& Join() {
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) close(listener_);
    listener_ = -1;
    unlink(path_.c_str());
    return received_;
  }

 private:
  void Serve(const Bytes& greeting, const Bytes& reply, bool drip) {
    pollfd ready{listener_, POLLIN, 0};
    if (poll(&ready, 1, 5000) != 1) return;
    int fd = accept(listener_, nullptr, nullptr);
    timeval bound{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    if (Receive(fd, 1)) send(fd, greeting.data(), greeting.size(), 0);
    if (!reply.empty() && Receive(fd, 80)) {
      for (size_t at = 0; at < reply.size(); at += drip ? 1 : reply.size()) {
        if (drip) usleep(20'000);
        if (send(fd, &reply[at], drip ? 1 : reply.size(), MSG_NOSIGNAL) < 0) {
          break;
        }
      }
    }
    while (Receive(fd, 1)) {
    }
    close(fd);
  }
  bool Receive(int fd, size_t count) {
    char buffer[80];
    ssize_t got = recv(fd, buffer, count, MSG_WAITALL);
    if (got > 0) received_.append(buffer, static_cast<size_t>(got));
    if (got < 0 && errno == EAGAIN) received_ += "(the client hung on)";
    return got == static_cast<ssize_t>(count);
  }

  std::string path_;
  int listener_;
  Bytes received_;
  std::thread thread_;
};

Bytes LE(uint64_t value, int width) {
  Bytes bytes;
  for (int i = 0; i < width; ++i) bytes.push_back(char(value >> (8 * i)));
  return bytes;
}

class SimulatedPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv(kSimulatorVariable, path_.c_str(), 1); }
  void TearDown() override {
    unsetenv(kSimulatorVariable);
    SetSimulatorExchangeLimit(kLong);
  }
  testing::ScratchDirectory scratch_;
  std::string path_ = scratch_.path() / "smc";
};

TEST_F(SimulatedPlatformTest, SocketPathMustFitWithItsTerminator) {
  size_t room = sizeof(sockaddr_un{}.sun_path);  // the NUL included
  std::string directory = path_ + std::string(room - 3 - path_.size(), 'd');
  ASSERT_TRUE(std::filesystem::create_directory(directory));
  std::string fits = directory + "/s";
  ASSERT_EQ(room - 1, fits.size());
  int listener = Listen(fits);
  EXPECT_EQ(0, SimulatorSocket().Connect(fits)) << fits.size();
  EXPECT_EQ(ENAMETOOLONG, SimulatorSocket().Connect(fits + "s"));
  close(listener);
}

TEST_F(SimulatedPlatformTest, OpenFailuresAndTheirCodes) {
  const Bytes kGranted = LE(0, 4) + LE(7, 4);
  static const struct {
    const char* name;
    std::optional<Bytes> greeting;  // absent: a file, not a socket
    int32_t code;
    bool connection;
    milliseconds limit = kLong;
  } cases[] = {
      {"granted", kGranted, kIOCodeSuccess, true},
      {"refused", LE(0xE00002C1, 4) + LE(0, 4), kIOCodeNotPrivileged, false},
      {"no handle", LE(0, 8), kIOCodeSuccess, false},
      {"short greeting", LE(0, 7), kIOCodeError, false, kShort},
      {"not a socket", std::nullopt, kIOCodeError, false},
  };
  for (const auto& c : cases) {
    SetSimulatorExchangeLimit(c.limit);
    std::optional<Peer> peer;
    if (c.greeting)
      peer.emplace(path_, *c.greeting);
    else
      testing::WriteFile(path_, "");
    SMCOpenResult opened = OpenSMC();
    EXPECT_TRUE(opened.service_found) << c.name;
    EXPECT_EQ(c.code, opened.code) << c.name;
    EXPECT_EQ(c.connection, opened.connection != nullptr) << c.name;
    opened.connection.reset();
    EXPECT_EQ(peer ? "\x01" : "", peer ? peer->Join() : "") << c.name;
    std::filesystem::remove(path_);
  }
  for (int error : {EPERM, EACCES}) {
    EXPECT_EQ(kIOCodeNotPrivileged, ConnectFailureCode(error)) << error;
  }
  EXPECT_EQ(kIOCodeError, ConnectFailureCode(ECONNREFUSED));
}

TEST_F(SimulatedPlatformTest, SocketTheCallerMayNotWriteIsNotPrivileged) {
  chmod(scratch_.path().c_str(), 0711);
  int listener = Listen(path_);
  chmod(path_.c_str(), 0600);
  uid_t user = geteuid();
  // Root may write anything: the check is made as nobody.
  ASSERT_EQ(0, user == 0 ? seteuid(65534) : chmod(path_.c_str(), 0));
  SMCOpenResult opened = OpenSMC();
  ASSERT_EQ(0, user == 0 ? seteuid(0) : 0);
  EXPECT_EQ(kIOCodeNotPrivileged, opened.code);
  close(listener);
}

// After a failed exchange the reply buffer is as it was, the connection is
// closed and nothing more is sent on it.
TEST_F(SimulatedPlatformTest, ExchangeDeliversAWholeReplyInTimeOrNothing) {
  const Bytes kBlock(80, 'r');
  static const struct {
    const char* name;
    Bytes reply;
    bool drip;
    int32_t code;
    size_t length;  // as the call leaves it, preset to 80
    milliseconds limit = kLong;
  } cases[] = {
      {"whole", LE(0, 4) + LE(80, 4) + kBlock, false, kIOCodeSuccess, 80},
      {"short, code", LE(5, 4) + LE(3, 4) + "abc", false, 5, 3},
      {"count 81", LE(0, 4) + LE(81, 4) + kBlock + "x", false,
       kIOCodeNotResponding, 80},
      {"stalls", LE(0, 4) + LE(80, 4) + kBlock.substr(1), false,
       kIOCodeNotResponding, 80, kShort},
      // 20 ms a byte: never a gap as long as the limit, but 1.7 s in all.
      {"drips", LE(0, 4) + LE(80, 4) + kBlock, true, kIOCodeNotResponding, 80,
       kShort},
  };
  const Bytes request(80, 'q');
  for (const auto& c : cases) {
    SetSimulatorExchangeLimit(kLong);
    Peer peer(path_, LE(0, 4) + LE(7, 4), c.reply, c.drip);
    std::unique_ptr<SMCConnection> connection = OpenSMC().connection;
    ASSERT_TRUE(connection) << c.name;
    SetSimulatorExchangeLimit(c.limit);
    uint8_t buffer[80];
    memset(buffer, 'b', sizeof buffer);
    size_t length = 80;
    auto call = [&] {
      return connection->CallStructMethod(
          std::span<const uint8_t, 80>(
              reinterpret_cast<const uint8_t*>(request.data()), 80),
          std::span<uint8_t, 80>(buffer), &length);
    };
    EXPECT_EQ(c.code, call()) << c.name;
    EXPECT_EQ(c.length, length) << c.name;
    size_t delivered = c.code == kIOCodeNotResponding ? 0 : c.length;
    EXPECT_EQ(c.reply.substr(8, delivered) + Bytes(80 - delivered, 'b'),
              Bytes(reinterpret_cast<char*>(buffer), 80))
        << c.name;
    if (c.code == kIOCodeNotResponding) {
      EXPECT_EQ(kIOCodeNotResponding, call()) << c.name;
    }
    connection.reset();
    EXPECT_EQ("\x01" + request, peer.Join()) << c.name;
  }
}

TEST_F(SimulatedPlatformTest, BatteryPropertiesKeepTheirSignAndKind) {
  const Bytes kDouble = "\x02" + LE(std::bit_cast<uint64_t>(2.5), 8);
  static const struct {
    const char* name;
    Bytes answers;
    std::optional<double> current, maximum;
    milliseconds limit = kLong;  // kShort: the connection breaks
  } cases[] = {
      {"integers", "\x01\x01" + LE(4000, 8) + "\x01" + LE(5000, 8), 4000, 5000},
      {"negative", "\x01\x01" + LE(-1, 8) + "\x01" + LE(-4500, 8), -1, -4500},
      {"reals", "\x01" + kDouble + kDouble, 2.5, 2.5},
      {"missing, not a number", Bytes("\x01\x00\x03", 3), {}, {}},
      {"short", "\x01\x02" + LE(0, 7), {}, {}, kShort},
  };
  for (const auto& c : cases) {
    SetSimulatorExchangeLimit(c.limit);
    Peer peer(path_, c.answers);
    std::optional<BatteryCapacities> read = ReadBatteryCapacities();
    ASSERT_TRUE(read) << c.name;
    EXPECT_EQ(c.current, read->current) << c.name;
    EXPECT_EQ(c.maximum, read->maximum) << c.name;
    Bytes first =
        "\x02\x0f"
        "CurrentCapacity";
    Bytes second = c.limit == kShort ? ""
                                     : "\x0b"
                                       "MaxCapacity";
    EXPECT_EQ(first + second, peer.Join()) << c.name;
  }
  Peer absent(path_, Bytes(1, '\0'));
  EXPECT_FALSE(ReadBatteryCapacities());
}

}  // namespace
}  // namespace ampervale::platform
