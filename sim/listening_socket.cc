#include "sim/listening_socket.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include "common/native_control_error.h"

namespace ampervale::sim {

namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path) {
  throw NativeControlError("Cannot " + what + " " + path + ": " +
                           strerror(errno));
}

constexpr char kStartingSuffix[] = ".starting";

// REQUIRES: path fits sun_path; CheckLength() makes sure.
sockaddr_un AddressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

void CheckLength(const std::string& path) {
  size_t longest = sizeof(sockaddr_un::sun_path) - sizeof kStartingSuffix;
  if (path.empty() || path.size() > longest) {
    throw NativeControlError("Socket path must be 1 to " +
                             std::to_string(longest) + " bytes long: " + path);
  }
}

bool SomeoneListens(const sockaddr_un& address) {
  UniqueFd probe(WithDescriptorFlags(socket(AF_UNIX, SOCK_STREAM, 0), false));
  return probe.valid() &&
         connect(probe.get(), reinterpret_cast<const sockaddr*>(&address),
                 sizeof address) == 0;
}

// A socket left behind by a simulator that was killed is replaced.
void ClearStaleSocket(const std::string& path, const sockaddr_un& address) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return;
  if (!S_ISSOCK(info.st_mode)) {
    throw NativeControlError(path + " exists and is not a socket");
  }
  if (SomeoneListens(address)) {
    throw NativeControlError("Another simulator is serving " + path);
  }
  if (unlink(path.c_str()) != 0) Fail("remove the stale socket", path);
}

}  // namespace

ListeningSocket::ListeningSocket(std::string path, bool private_mode)
    : path_(std::move(path)), private_(private_mode) {
  CheckLength(path_);
  sockaddr_un address = AddressOf(path_);
  ClearStaleSocket(path_, address);
  // Bound under a temporary name and renamed into place once it listens,
  // so that a client that sees the path can connect at once.
  std::string temporary = path_ + kStartingSuffix;
  sockaddr_un temporary_address = AddressOf(temporary);
  unlink(temporary.c_str());
  fd_ = UniqueFd(WithDescriptorFlags(socket(AF_UNIX, SOCK_STREAM, 0), true));
  if (!fd_.valid()) Fail("create a socket for", path_);
  if (bind(fd_.get(), reinterpret_cast<const sockaddr*>(&temporary_address),
           sizeof temporary_address) != 0) {
    Fail("bind", path_);
  }
  if (listen(fd_.get(), SOMAXCONN) != 0 ||
      chmod(temporary.c_str(), private_mode ? 0600 : 0666) != 0 ||
      rename(temporary.c_str(), path_.c_str()) != 0) {
    int error = errno;
    unlink(temporary.c_str());
    errno = error;
    Fail("set up the socket", path_);
  }
  struct stat info;
  if (stat(path_.c_str(), &info) == 0) inode_ = info.st_ino;
}

ListeningSocket::~ListeningSocket() {
  struct stat info;
  if (lstat(path_.c_str(), &info) == 0 && info.st_ino == inode_) {
    unlink(path_.c_str());
  }
}

void ListeningSocket::SetPrivate(bool private_mode) {
  // Failure leaves the mode as it was; the state dump still shows the fault.
  if (chmod(path_.c_str(), private_mode ? 0600 : 0666) == 0) {
    private_ = private_mode;
  }
}

}  // namespace ampervale::sim
