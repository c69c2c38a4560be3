#include "platform/simulator_socket.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>

namespace ampervale::platform {

namespace {

// A simulator that stops answering must not hang the daemon forever while
// it holds the policy lock; a real SMC answers in microseconds.
constexpr int kReplyTimeoutSeconds = 10;

void SetTimeouts(int fd) {
  timeval timeout{};
  timeout.tv_sec = kReplyTimeoutSeconds;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
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

SimulatorSocket::~SimulatorSocket() {
  if (fd_ >= 0) close(fd_);
}

int SimulatorSocket::Connect(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return ENAMETOOLONG;
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return errno;
  SetTimeouts(fd_);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) !=
      0) {
    int error = errno;
    close(fd_);
    fd_ = -1;
    return error;
  }
  return 0;
}

bool SimulatorSocket::SendAll(const void* data, size_t length) {
  const auto* next = static_cast<const uint8_t*>(data);
  while (length > 0) {
    // MSG_NOSIGNAL: a simulator that went away must not kill us by SIGPIPE.
    ssize_t sent = send(fd_, next, length, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    next += sent;
    length -= static_cast<size_t>(sent);
  }
  return true;
}

bool SimulatorSocket::ReceiveAll(void* data, size_t length) {
  auto* next = static_cast<uint8_t*>(data);
  while (length > 0) {
    ssize_t received = recv(fd_, next, length, 0);
    if (received < 0 && errno == EINTR) continue;
    if (received <= 0) return false;
    next += received;
    length -= static_cast<size_t>(received);
  }
  return true;
}

}  // namespace ampervale::platform
