#ifndef AMPERVALE_SIM_UNIQUE_FD_H_
#define AMPERVALE_SIM_UNIQUE_FD_H_

#include <fcntl.h>
#include <unistd.h>

#include <utility>

namespace ampervale::sim {

// Owns one file descriptor and closes it when destroyed.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// Marks `fd` close-on-exec and, when asked, non-blocking; returns it, or -1
// (closing it) when that fails. The portable form of SOCK_CLOEXEC,
// SOCK_NONBLOCK, pipe2 and accept4, which macOS lacks; the simulator is
// single-threaded, so no exec can slip in between.
inline int WithDescriptorFlags(int fd, bool nonblocking) {
  if (fd < 0) return fd;
  int status = fcntl(fd, F_GETFL);
  if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || status < 0 ||
      (nonblocking && fcntl(fd, F_SETFL, status | O_NONBLOCK) != 0)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_UNIQUE_FD_H_
