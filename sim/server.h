#ifndef AMPERVALE_SIM_SERVER_H_
#define AMPERVALE_SIM_SERVER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "sim/listening_socket.h"
#include "sim/observer.h"
#include "sim/physics.h"
#include "sim/session.h"
#include "sim/simulated_mac.h"
#include "sim/unique_fd.h"

namespace ampervale::sim {

struct ServerOptions {
  std::string socket_path;
  // Simulated seconds per real second, while the machine is awake (also
  // in the dark and full wakes of a sleep).
  double time_scale = 1.0;
  // Monotonic real seconds; the steady clock when empty.
  std::function<double()> real_clock = {};
  // How often the battery moves while no client talks.
  int tick_milliseconds = 100;
  // With every connection taken, one that has sent nothing for this many
  // real seconds may be closed for a new client.
  double idle_seconds = 10;
};

// Serves the simulated platform's protocol for `mac` on a Unix socket, to
// any number of clients at once, from one thread. A client that sends
// garbage or goes away mid-request loses only its own connection.
class Server {
 public:
  // Creates the socket. Throws NativeControlError. `mac` and the observers
  // must outlive the server.
  Server(SimulatedMac& mac, ServerOptions options);
  ~Server();  // closes every connection and removes the socket
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  void AddObserver(SimulatorObserver* observer);

  // Serves until Stop() is called, then tells the observers.
  void Run();

  // Async-signal-safe and thread-safe; Run() returns soon after.
  void Stop();

 private:
  struct Connection {
    UniqueFd fd;
    Session session;
    double last_heard = 0;  // real seconds
    uint32_t uid = 0;       // of the peer
  };

  void Turn();
  // The tick, or less so that an awake period inside a sleep ends on time.
  int PollMilliseconds() const;
  // The machine time `elapsed` moves while awake, up to the end of an
  // awake period inside a sleep.
  double AwakeStep(double elapsed) const;
  void Accept();
  // With the table full: closes the connection idle longest, if one may
  // be closed. False when none may.
  bool CloseIdle(bool only_look);
  std::list<Connection>::iterator Close(std::list<Connection>::iterator it);
  // False when the connection must close.
  bool Receive(Connection& connection);
  bool Send(Connection& connection);
  bool Service(Connection& connection, short events);
  uint32_t NextHandle();

  SimulatedMac& mac_;
  ServerOptions options_;
  SimulatedClock clock_;
  ListeningSocket listener_;
  UniqueFd wake_read_;
  UniqueFd wake_write_;
  std::atomic<bool> stop_requested_{false};
  std::list<Connection> connections_;
  std::vector<SimulatorObserver*> observers_;
  uint32_t last_handle_ = 0;
};

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_SERVER_H_
