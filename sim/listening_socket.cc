#include "sim/listening_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <filesystem>

#include "common/native_control_error.h"
#include "store/checked_path.h"

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

// The folder of `path`, opened through checked parents, and the socket's
// path through it. A link on the way is followed only when root (or the
// user running this) owns it, in a folder that passed: a Mac's /tmp.
std::string CheckedFolder(const std::string& path, UniqueFd& folder) {
  const std::filesystem::path socket = std::filesystem::absolute(path);
  CheckedParent opened = WalkToParent(
      socket, {.refusal = "Socket folder is unsafe: ", .followOwnLinks = true});
  folder = UniqueFd(opened.descriptor.get());
  opened.descriptor.release();
  return (opened.path / socket.filename()).native();
}

bool SomeoneListens(const sockaddr_un& address) {
  UniqueFd probe(WithDescriptorFlags(socket(AF_UNIX, SOCK_STREAM, 0), false));
  return probe.valid() &&
         connect(probe.get(), reinterpret_cast<const sockaddr*>(&address),
                 sizeof address) == 0;
}

// A socket left behind by a simulator that was killed is replaced.
void ClearStaleSocket(int folder, const std::string& name,
                      const std::string& path, const sockaddr_un& address) {
  struct stat info;
  if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (!S_ISSOCK(info.st_mode)) {
    throw NativeControlError(path + " exists and is not a socket");
  }
  if (SomeoneListens(address)) {
    throw NativeControlError("Another simulator is serving " + path);
  }
  if (unlinkat(folder, name.c_str(), 0) != 0) {
    Fail("remove the stale socket", path);
  }
}

mode_t ModeFor(bool private_mode) { return private_mode ? 0600 : 0666; }

}  // namespace

ListeningSocket::ListeningSocket(std::string path, bool private_mode)
    : path_(std::move(path)), private_(private_mode) {
  CheckLength(path_);
  const std::string bound = CheckedFolder(path_, folder_);
  CheckLength(bound);
  name_ = std::filesystem::path(bound).filename().native();
  sockaddr_un address = AddressOf(bound);
  ClearStaleSocket(folder_.get(), name_, path_, address);
  // Bound under a temporary name and renamed into place once it listens,
  // so that a client that sees the path can connect at once.
  const std::string temporary = name_ + kStartingSuffix;
  sockaddr_un temporary_address = AddressOf(bound + kStartingSuffix);
  unlinkat(folder_.get(), temporary.c_str(), 0);
  fd_ = UniqueFd(WithDescriptorFlags(socket(AF_UNIX, SOCK_STREAM, 0), true));
  if (!fd_.valid()) Fail("create a socket for", path_);
  if (bind(fd_.get(), reinterpret_cast<const sockaddr*>(&temporary_address),
           sizeof temporary_address) != 0) {
    Fail("bind", path_);
  }
  if (listen(fd_.get(), SOMAXCONN) != 0 ||
      fchmodat(folder_.get(), temporary.c_str(), ModeFor(private_mode), 0) !=
          0 ||
      renameat(folder_.get(), temporary.c_str(), folder_.get(),
               name_.c_str()) != 0) {
    int error = errno;
    unlinkat(folder_.get(), temporary.c_str(), 0);
    errno = error;
    Fail("set up the socket", path_);
  }
  struct stat info;
  if (fstatat(folder_.get(), name_.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    inode_ = info.st_ino;
  }
}

ListeningSocket::~ListeningSocket() {
  if (IsOurs()) unlinkat(folder_.get(), name_.c_str(), 0);
}

bool ListeningSocket::IsOurs() const {
  struct stat info;
  return folder_.valid() &&
         fstatat(folder_.get(), name_.c_str(), &info, AT_SYMLINK_NOFOLLOW) ==
             0 &&
         S_ISSOCK(info.st_mode) && info.st_ino == inode_;
}

void ListeningSocket::SetPrivate(bool private_mode) {
  // Failure leaves the mode as it was; the state dump still shows the fault.
  if (IsOurs() &&
      fchmodat(folder_.get(), name_.c_str(), ModeFor(private_mode), 0) == 0) {
    private_ = private_mode;
  }
}

}  // namespace ampervale::sim
