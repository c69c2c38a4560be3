#include "sim/server.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
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

}  // namespace
}  // namespace ampervale::sim
