#include "sim/server.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "platform/simulator_socket.h"
#include "sim/control_client.h"
#include "sim/machine.h"
#include "store/test_support.h"

namespace ampervale::sim {
namespace {

int Connect(const std::string& path, const std::string& first_bytes) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  send(fd, first_bytes.data(), first_bytes.size(), MSG_NOSIGNAL);
  return fd;
}

// The answer to a power registration, '1' for accepted; 'x' for none.
char Registered(int fd) {
  char answer = 0;
  return recv(fd, &answer, 1, 0) == 1 ? char('0' + answer) : 'x';
}

// Whether the server has closed `fd`: EOF within a moment.
bool ClosedByServer(int fd) {
  pollfd ready{fd, POLLIN, 0};
  char byte;
  return poll(&ready, 1, 200) == 1 && recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

// One user holding every slot of the table cannot shut the simulator: with
// the table full, the connection idle longest is closed for a newcomer, but
// never a power client or one with a request half sent.
TEST(ServerTest, AFullTableMakesRoomByClosingTheIdlest) {
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur =
      std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 4096));
  setrlimit(RLIMIT_NOFILE, &files);
  testing::ScratchDirectory scratch;
  std::string path = scratch.path() / "smc.sock";
  std::atomic<double> clock = 0;
  SimulatedMac mac(BuiltInMachine("legacy-pair"));
  Server server(mac, {.socket_path = path,
                      .real_clock = [&] { return clock.load(); },
                      .tick_milliseconds = 10});
  std::thread serving([&] { server.Run(); });
  std::vector<int> held{Connect(path, "\x04"), Connect(path, "\x01")};
  ASSERT_EQ('1', Registered(held[0]));
  // The half-sent request: greeting read, then 10 of a block's 80 bytes.
  char greeting[8];
  ASSERT_EQ(8, recv(held[1], greeting, 8, MSG_WAITALL));
  ASSERT_EQ(10, send(held[1], "0123456789", 10, MSG_NOSIGNAL));
  while (held.size() < 511) held.push_back(Connect(path, ""));
  // Served as the 512th: the server has taken in all before it.
  SendControl(path, {{"command", "state"}});
  held.push_back(Connect(path, ""));
  platform::SetSimulatorExchangeLimit(std::chrono::milliseconds(2000));
  clock = 5;  // the first idle one speaks: the second is now the idlest
  ASSERT_EQ(1, send(held[2], "\x01", 1, MSG_NOSIGNAL));
  ASSERT_EQ(8, recv(held[2], greeting, 8, MSG_WAITALL));
  clock = 16;
  EXPECT_NO_THROW(SendControl(path, {{"command", "state"}}));
  platform::SetSimulatorExchangeLimit(std::chrono::milliseconds(10'000));
  std::string closed;  // of the power client, the half-sent one, two idle
  for (int i = 0; i < 4; ++i) closed += ClosedByServer(held[i]) ? 'c' : 'o';
  EXPECT_EQ("oooc", closed);
  server.Stop(), serving.join();
  for (int fd : held) close(fd);
}

// Answers each "will sleep" on power connection `fd` at once, after
// booking a wake `seconds` ahead, until the connection closes. Returns "+"
// for each own wake and the code of a refused booking, which ends it.
std::string BookEachSleep(int fd, double seconds) {
  std::string log;
  for (uint32_t m[2]; recv(fd, m, 8, MSG_WAITALL) == 8;) {
    if (m[0] == 3 && m[1] != 0) return log + " " + std::to_string(m[1]);
    if (m[0] == 2 && m[1] == 1) log += "+";
    char book[9] = {2}, allow[5] = {1};
    std::memcpy(book + 1, &seconds, 8), std::memcpy(allow + 1, &m[1], 4);
    if (m[0] == 1) send(fd, book, 9, MSG_NOSIGNAL);
    if (m[0] == 1) send(fd, allow, 5, MSG_NOSIGNAL);
  }
  return log;
}

// A second user, real to the kernel: uid 65534 holds 16 power
// registrations and 64 connections, and has 100 wakes served in a sleep,
// and is refused beyond each, while root still registers and has its wake.
TEST(ServerTest, EachUserHasItsOwnRegistrationsAndWakes) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  testing::ScratchDirectory scratch;
  chmod(scratch.path().c_str(), 0755);
  const std::string path = scratch.path() / "smc.sock";
  const testing::Pipe go, out;
  pid_t child = testing::StartChild([&] {  // holds none of the server's fds
    if (go.receive() != 'g' || setuid(65534) != 0) return 1;
    std::vector<int> power(17);
    for (int& fd : power) out.send(Registered(fd = Connect(path, "\x04")));
    std::vector<int> more(48);  // with the 16 registered, 64 connections
    for (int& fd : more) fd = Connect(path, "");
    out.send(ClosedByServer(more.back()) ? 'c' : 'o');
    out.send(ClosedByServer(Connect(path, "")) ? 'c' : 'o');
    for (int i = 1; i < 17; ++i) close(power[i]);  // they would not answer
    for (char c : BookEachSleep(power[0], 1)) out.send(c);
    return 0;
  });
  std::string log, root_log;
  {
    SimulatedMac mac(BuiltInMachine("legacy-pair"));
    Server server(mac, {.socket_path = path, .tick_milliseconds = 1});
    std::thread serving([&] { server.Run(); });
    go.send('g');
    int root = Connect(path, "\x04");
    root_log = Registered(root);
    std::thread client([&] { root_log += BookEachSleep(root, 1800); });
    while (log.size() < 19) log += out.receive();
    EXPECT_NO_THROW(SendControl(path, {{"command", "sleep"}, {"hours", 1}}));
    shutdown(root, SHUT_RDWR), client.join(), close(root);
    server.Stop(), serving.join();
  }
  EXPECT_EQ(0, testing::WaitForChild(child));
  while (out.hasMessage()) log += out.receive();
  EXPECT_EQ("11111111111111110oc" + std::string(100, '+') + " 3758097086", log);
  EXPECT_EQ("1+", root_log);
}

}  // namespace
}  // namespace ampervale::sim
