#include "sim/server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>

#include "common/native_control_error.h"

namespace ampervale::sim {

namespace {

// Below the usual limit of 1024 descriptors, so accept() never fails on it.
constexpr size_t kMaxConnections = 512;
// Of the table, what one user may hold, unless it is root or the user who
// runs the simulator (who could stop it anyway). Power clients and
// half-sent requests are never closed as idle, so one user could otherwise
// fill the table and shut out root's daemon and commands.
constexpr size_t kMaxConnectionsPerUser = 64;
// A client that pipelines requests without reading its answers is dropped
// rather than let grow the simulator's memory.
constexpr size_t kMaxPendingOutput = 4 * 1024 * 1024;

double SteadySeconds() {
  return std::chrono::duration<double>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The user of the process that connected; nothing when the kernel cannot
// say, and then the connection is not served.
std::optional<uint32_t> PeerUid(int fd) {
#ifdef __APPLE__
  uid_t uid = 0;
  gid_t gid = 0;
  if (getpeereid(fd, &uid, &gid) != 0) return std::nullopt;
  return uid;
#else
  ucred peer{};
  socklen_t size = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
      size != sizeof peer) {
    return std::nullopt;
  }
  return peer.uid;
#endif
}

std::function<double()> ClockOrDefault(std::function<double()> clock) {
  return clock ? std::move(clock) : SteadySeconds;
}

}  // namespace

Server::Server(SimulatedMac& mac, ServerOptions options)
    : mac_(mac),
      options_(std::move(options)),
      clock_(ClockOrDefault(options_.real_clock), options_.time_scale),
      listener_(options_.socket_path,
                mac.smc().faults().Find(FaultKind::kPrivateSocket)) {
  options_.real_clock = ClockOrDefault(options_.real_clock);
  mac_.set_time_scale(options_.time_scale);
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) {
    throw NativeControlError("Cannot create the simulator's wake-up pipe");
  }
  wake_read_ = UniqueFd(WithDescriptorFlags(pipe_fds[0], true));
  wake_write_ = UniqueFd(WithDescriptorFlags(pipe_fds[1], true));
  if (!wake_read_.valid() || !wake_write_.valid()) {
    throw NativeControlError("Cannot create the simulator's wake-up pipe");
  }
}

Server::~Server() = default;

void Server::AddObserver(SimulatorObserver* observer) {
  observers_.push_back(observer);
}

void Server::Stop() {
  stop_requested_ = true;
  char byte = 1;
  // Nothing to do on failure: a full pipe already wakes the loop.
  [[maybe_unused]] ssize_t ignored = write(wake_write_.get(), &byte, 1);
}

void Server::Run() {
  while (!stop_requested_) Turn();
  for (SimulatorObserver* observer : observers_) observer->Finish(mac_);
}

void Server::Turn() {
  std::vector<pollfd> fds{{wake_read_.get(), POLLIN, 0}};
  bool accepting =
      connections_.size() < kMaxConnections || CloseIdle(/*only_look=*/true);
  if (accepting) fds.push_back({listener_.fd(), POLLIN, 0});
  for (Connection& connection : connections_) {
    short events = connection.session.output().empty() ? POLLIN : POLLOUT;
    fds.push_back({connection.fd.get(), events, 0});
  }
  int ready = poll(fds.data(), fds.size(), PollMilliseconds());
  double elapsed = clock_.Elapsed();
  // Asleep, the machine's time runs by the sleep alone.
  if (!mac_.sleep().asleep()) mac_.Advance(AwakeStep(elapsed));
  double now = options_.real_clock();
  if (ready > 0) {
    char drain[64];
    while (read(wake_read_.get(), drain, sizeof drain) > 0) {
    }
    // The pollfds after the first one or two match connections_ in order,
    // so new connections join only after this walk.
    auto fd = fds.begin() + (accepting ? 2 : 1);
    for (auto it = connections_.begin(); it != connections_.end(); ++fd) {
      if (fd->revents & POLLIN) it->last_heard = now;
      bool keep = fd->revents == 0 || Service(*it, fd->revents);
      it = keep ? std::next(it) : Close(it);
    }
    if (accepting && (fds[1].revents & POLLIN)) Accept();
    // Writes and commands may have changed the state; note it at once.
    mac_.Advance(0);
  }
  mac_.sleep().Turn(mac_, now);
  for (Connection& connection : connections_) connection.session.Poll(mac_);
  bool private_mode = mac_.smc().faults().Find(FaultKind::kPrivateSocket);
  if (private_mode != listener_.is_private())
    listener_.SetPrivate(private_mode);
  for (SimulatorObserver* observer : observers_) observer->Update(mac_, now);
}

int Server::PollMilliseconds() const {
  std::optional<double> end = mac_.sleep().AwakePeriodEnd();
  if (!end) return options_.tick_milliseconds;
  double left = (*end - mac_.now()) / options_.time_scale * 1000;
  return static_cast<int>(
      std::clamp(std::ceil(left), 1.0, double(options_.tick_milliseconds)));
}

double Server::AwakeStep(double elapsed) const {
  // An awake period inside a sleep lasts its machine time exactly; the
  // sleep cycle ends it in this turn.
  std::optional<double> end = mac_.sleep().AwakePeriodEnd();
  if (!end) return elapsed;
  return std::min(elapsed, std::max(*end - mac_.now(), 0.0));
}

std::list<Server::Connection>::iterator Server::Close(
    std::list<Connection>::iterator it) {
  it->session.Release(mac_);
  return connections_.erase(it);
}

bool Server::CloseIdle(bool only_look) {
  double now = options_.real_clock();
  auto idlest = connections_.end();
  for (auto it = connections_.begin(); it != connections_.end(); ++it) {
    // A power client waits for notices by nature, and a busy one is owed
    // or owes something.
    if (it->session.registered() || it->session.busy() ||
        now - it->last_heard < options_.idle_seconds) {
      continue;
    }
    if (idlest == connections_.end() || it->last_heard < idlest->last_heard) {
      idlest = it;
    }
  }
  if (idlest == connections_.end()) return false;
  if (!only_look) Close(idlest);
  return true;
}

void Server::Accept() {
  while (connections_.size() < kMaxConnections || CloseIdle(true)) {
    UniqueFd fd(
        WithDescriptorFlags(accept(listener_.fd(), nullptr, nullptr), true));
    if (!fd.valid()) return;
    std::optional<uint32_t> uid = PeerUid(fd.get());
    auto held =
        std::count_if(connections_.begin(), connections_.end(),
                      [&](const auto& each) { return each.uid == uid; });
    bool capped = uid != 0u && uid != geteuid();
    if (!uid || (capped && size_t(held) >= kMaxConnectionsPerUser)) {
      continue;
    }
    // Only for a client that is really there.
    if (connections_.size() >= kMaxConnections) CloseIdle(false);
    connections_.push_back({std::move(fd), Session(NextHandle(), *uid),
                            options_.real_clock(), *uid});
  }
}

uint32_t Server::NextHandle() {
  if (++last_handle_ == 0) last_handle_ = 1;
  return last_handle_;
}

bool Server::Service(Connection& connection, short events) {
  if ((events & POLLIN) && !Receive(connection)) return false;
  if ((events & (POLLERR | POLLNVAL)) ||
      ((events & POLLHUP) && !(events & POLLIN))) {
    return false;
  }
  Session::Ending ending = connection.session.ending();
  if (ending == Session::Ending::kNow || !Send(connection)) return false;
  return !(ending == Session::Ending::kAfterOutput &&
           connection.session.output().empty());
}

bool Server::Receive(Connection& connection) {
  uint8_t buffer[16 * 1024];
  ssize_t received = recv(connection.fd.get(), buffer, sizeof buffer, 0);
  if (received < 0) return errno == EAGAIN || errno == EINTR;
  if (received == 0) return false;  // the client went away
  connection.session.Feed(
      std::span<const uint8_t>(buffer, static_cast<size_t>(received)), mac_);
  return true;
}

bool Server::Send(Connection& connection) {
  std::vector<uint8_t>& output = connection.session.output();
  while (!output.empty()) {
    ssize_t sent = send(connection.fd.get(), output.data(), output.size(),
                        MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN && output.size() <= kMaxPendingOutput;
    }
    output.erase(output.begin(), output.begin() + sent);
  }
  return true;
}

}  // namespace ampervale::sim
