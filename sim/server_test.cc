#include "sim/server.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

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
  ServerOptions options;
  options.socket_path = path, options.tick_milliseconds = 10;
  options.real_clock = [&] { return clock.load(); };
  Server server(mac, options);
  std::thread serving([&] { server.Run(); });
  std::vector<int> held{Connect(path, "\x04"), Connect(path, "\x01")};
  char registered = 0;
  ASSERT_EQ(1, recv(held[0], &registered, 1, 0));
  // The half-sent request: greeting read, then 10 of a block's 80 bytes.
  char greeting[8];
  ASSERT_EQ(8, recv(held[1], greeting, 8, MSG_WAITALL));
  ASSERT_EQ(10, send(held[1], "0123456789", 10, MSG_NOSIGNAL));
  while (held.size() < 511) held.push_back(Connect(path, ""));
  // Served as the 512th: the server has taken in all before it.
  SendControl(path, {{"command", "state"}});
  held.push_back(Connect(path, ""));
  platform::SetSimulatorExchangeLimit(std::chrono::milliseconds(2000));
  clock = 11;
  EXPECT_NO_THROW(SendControl(path, {{"command", "state"}}));
  platform::SetSimulatorExchangeLimit(std::chrono::milliseconds(10'000));
  std::string closed;  // of the power client, the half-sent one, two idle
  for (int i = 0; i < 4; ++i) closed += ClosedByServer(held[i]) ? 'c' : 'o';
  EXPECT_EQ("ooco", closed);
  server.Stop();
  serving.join();
  for (int fd : held) close(fd);
}

// Answers each notice on power connection `fd` at once, first booking a
// wake `booking` seconds ahead at the first "will sleep" or, with `again`,
// at each. Writes to `log` "+" for each own wake served, and the code of a
// refused booking, which ends it.
void AnswerNotices(int fd, double booking, bool again, int log) {
  uint32_t message[2];
  for (bool first = true; recv(fd, message, 8, MSG_WAITALL) == 8;) {
    bool refused = message[0] == 3 && message[1] != 0;
    std::string note = refused ? " " + std::to_string(message[1])
                       : message[0] == 2 && message[1] == 1 ? "+"
                                                            : "";
    if (write(log, note.data(), note.size()) < 0 || refused) return;
    if (message[0] != 1) continue;
    char book[9] = {2}, allow[5] = {1};
    std::memcpy(book + 1, &booking, 8), std::memcpy(allow + 1, &message[1], 4);
    if (first || again) send(fd, book, 9, MSG_NOSIGNAL);
    send(fd, allow, 5, MSG_NOSIGNAL), first = false;
  }
}

// Up to `most` bytes, or all until the end.
std::string ReadAll(int fd, size_t most = SIZE_MAX) {
  std::string text;
  char buffer[256];
  for (ssize_t got;
       text.size() < most &&
       (got = read(fd, buffer, std::min(sizeof buffer, most - text.size()))) >
           0;)
    text.append(buffer, got);
  return text;
}

// A real second user: uid 65534 gets 16 registrations and 100 wakes in a
// sleep, the rest refused, while root's one wake is still served.
TEST(ServerTest, EachUserHasItsOwnRegistrationsAndWakes) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  testing::ScratchDirectory scratch;
  chmod(scratch.path().c_str(), 0755);
  std::string path = scratch.path() / "smc.sock";
  int go[2], logs[2][2];
  ASSERT_EQ(0, pipe(go) + pipe(logs[0]) + pipe(logs[1]));
  // Forked before the server, so that the child holds none of its sockets.
  pid_t child = fork();
  if (child == 0) {  // the other user, who books a wake 1 s ahead each time
    if (read(go[0], go, 1) != 1 || setuid(65534) != 0) _exit(1);
    std::vector<int> power;
    for (int i = 0; i < 17; ++i) {
      power.push_back(Connect(path, "\x04"));
      char answer = 'x';
      if (recv(power.back(), &answer, 1, 0) == 1) answer += '0';
      if (write(logs[0][1], &answer, 1) != 1) _exit(1);
    }
    for (size_t i = 1; i < power.size(); ++i) close(power[i]);
    AnswerNotices(power[0], 1, true, logs[0][1]);
    _exit(0);
  }
  close(logs[0][1]);
  SimulatedMac mac(BuiltInMachine("legacy-pair"));
  ServerOptions options;
  options.socket_path = path, options.tick_milliseconds = 1;
  Server server(mac, options);
  std::thread serving([&] { server.Run(); });
  EXPECT_EQ(1, write(go[1], "g", 1));
  std::string child_log = ReadAll(logs[0][0], 17);
  int root = Connect(path, "\x04");
  char registered = 0;
  EXPECT_EQ(1, recv(root, &registered, 1, 0));
  std::thread root_client([&] { AnswerNotices(root, 1800, 0, logs[1][1]); });
  EXPECT_NO_THROW(SendControl(path, {{"command", "sleep"}, {"hours", 1}}));
  shutdown(root, SHUT_RDWR), root_client.join(), close(root);
  kill(child, SIGKILL), waitpid(child, nullptr, 0);
  server.Stop(), serving.join();
  close(logs[1][1]), close(go[0]), close(go[1]);
  EXPECT_EQ("11111111111111110" + std::string(100, '+') + " 3758097086",
            child_log + ReadAll(logs[0][0]));
  EXPECT_EQ("+", ReadAll(logs[1][0]));
  close(logs[0][0]), close(logs[1][0]);
}

}  // namespace
}  // namespace ampervale::sim
