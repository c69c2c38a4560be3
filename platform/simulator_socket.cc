#include "platform/simulator_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdlib>

#include "platform/io_return.h"

namespace ampervale::platform {

namespace {

std::atomic<std::chrono::milliseconds::rep> exchange_limit_ms{10'000};

// connect() waits for room in a full listen queue; this bounds that wait.
void LimitConnectWait(int fd, std::chrono::milliseconds limit) {
  // A zero timeout would mean no limit at all.
  limit = std::max(limit, std::chrono::milliseconds(1));
  timeval timeout{};
  timeout.tv_sec = static_cast<time_t>(limit.count() / 1000);
  timeout.tv_usec = static_cast<suseconds_t>(limit.count() % 1000 * 1000);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

bool ShouldRetry(int error) {
  return error == EINTR || error == EAGAIN || error == EWOULDBLOCK;
}

}  // namespace

std::optional<std::string> SimulatorPath() {
  const char* path = std::getenv(kSimulatorVariable);
  struct stat info;
  if (path == nullptr || *path == '\0' || stat(path, &info) != 0) {
    return std::nullopt;
  }
  return std::string(path);
}

std::chrono::milliseconds SimulatorExchangeLimit() {
  return std::chrono::milliseconds(exchange_limit_ms.load());
}

void SetSimulatorExchangeLimit(std::chrono::milliseconds limit) {
  exchange_limit_ms.store(limit.count());
}

int32_t ConnectFailureCode(int error) {
  return error == EACCES || error == EPERM ? kIOCodeNotPrivileged
                                           : kIOCodeError;
}

SimulatorSocket::~SimulatorSocket() {
  if (fd_ >= 0) close(fd_);
}

int SimulatorSocket::Connect(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // The path and its terminating NUL must fit.
  if (path.size() >= sizeof address.sun_path) return ENAMETOOLONG;
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd_ < 0) return errno;
  // Set apart from socket(): macOS has no SOCK_CLOEXEC. Nothing here execs.
  fcntl(fd_, F_SETFD, FD_CLOEXEC);
  LimitConnectWait(fd_, SimulatorExchangeLimit());
  if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) !=
      0) {
    int error = errno;
    close(fd_);
    fd_ = -1;
    return error;
  }
  deadline_ = Clock::now() + SimulatorExchangeLimit();
  return 0;
}

bool SimulatorSocket::AwaitReady(short events) {
  while (true) {
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now());
    if (fd_ < 0 || left.count() <= 0) return false;
    pollfd ready{fd_, events, 0};
    int count = poll(&ready, 1, static_cast<int>(left.count()));
    // Hang-ups and errors count as ready: the transfer then reports them.
    if (count > 0) return true;
    if (count < 0 && errno != EINTR) return false;
  }
}

bool SimulatorSocket::AwaitMessage(std::chrono::milliseconds limit) {
  deadline_ = Clock::now() + limit;
  if (!AwaitReady(POLLIN)) return false;
  deadline_ = Clock::now() + SimulatorExchangeLimit();
  return true;
}

bool SimulatorSocket::SendAll(const void* data, size_t length) {
  deadline_ = Clock::now() + SimulatorExchangeLimit();
  const auto* next = static_cast<const uint8_t*>(data);
  while (length > 0) {
    if (!AwaitReady(POLLOUT)) return false;
    // MSG_NOSIGNAL: a simulator that went away must not kill us by SIGPIPE.
    ssize_t sent = send(fd_, next, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && ShouldRetry(errno)) continue;
    if (sent <= 0) return false;
    next += sent;
    length -= static_cast<size_t>(sent);
  }
  return true;
}

bool SimulatorSocket::ReceiveAll(void* data, size_t length) {
  auto* next = static_cast<uint8_t*>(data);
  while (length > 0) {
    if (!AwaitReady(POLLIN)) return false;
    ssize_t received = recv(fd_, next, length, MSG_DONTWAIT);
    if (received < 0 && ShouldRetry(errno)) continue;
    if (received <= 0) return false;
    next += received;
    length -= static_cast<size_t>(received);
  }
  return true;
}

std::optional<double> SimulatedProperty::number() const {
  if (tag == kInteger) return static_cast<double>(static_cast<int64_t>(bits));
  if (tag == kReal) return std::bit_cast<double>(bits);
  return std::nullopt;
}

std::optional<bool> SimulatedProperty::boolean() const {
  if (tag != kBoolean || bits > 1) return std::nullopt;
  return bits == 1;
}

bool OpenSimulatedEntry(SimulatorSocket& socket, const std::string& path,
                        uint8_t service) {
  uint8_t exists = 0;
  return socket.Connect(path) == 0 && socket.SendAll(&service, 1) &&
         socket.ReceiveAll(&exists, 1) && exists == 1;
}

SimulatedProperty ReadSimulatedProperty(SimulatorSocket& socket,
                                        const std::string& name, bool& broken) {
  uint8_t request[256];
  request[0] = static_cast<uint8_t>(name.size());
  memcpy(request + 1, name.data(), name.size());
  SimulatedProperty property;
  uint8_t tag = 0;
  broken = broken || !socket.SendAll(request, 1 + name.size()) ||
           !socket.ReceiveAll(&tag, 1);
  if (broken) return {};
  size_t width =
      tag == SimulatedProperty::kInteger || tag == SimulatedProperty::kReal ? 8
      : tag == SimulatedProperty::kBoolean                                  ? 1
                                                                            : 0;
  uint8_t raw[8] = {};
  broken = width > 0 && !socket.ReceiveAll(raw, width);
  // An unknown tag leaves the answer's length unknown: nothing after it
  // can be read in step.
  broken = broken || tag > SimulatedProperty::kBoolean;
  if (broken) return {};
  property.tag = static_cast<SimulatedProperty::Tag>(tag);
  property.bits = GetUIntLE(raw, static_cast<int>(width));
  return property;
}

SimulatedProperty ReadSimulatedEntryProperty(uint8_t service,
                                             const std::string& name) {
  std::optional<std::string> path = SimulatorPath();
  SimulatorSocket socket;
  if (!path || !OpenSimulatedEntry(socket, *path, service)) return {};
  bool broken = false;
  return ReadSimulatedProperty(socket, name, broken);
}

}  // namespace ampervale::platform
