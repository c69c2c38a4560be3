#ifndef AMPERVALE_SIM_LISTENING_SOCKET_H_
#define AMPERVALE_SIM_LISTENING_SOCKET_H_

#include <sys/types.h>

#include <string>

#include "sim/unique_fd.h"

namespace ampervale::sim {

// The simulator's Unix socket at a path. Creating it replaces a stale
// socket left by a simulator that died, but never a live one and never a
// file that is not a socket; destroying it removes the path, unless
// something else has been put there since.
//
// The simulator may run as root, and anyone may ask it to change the
// socket's mode, so the socket's folder must be one that only root, the
// effective user and the trusted groups can change, as the backend's own
// folders (store/checked_path.h). Clients reach the socket by its path, so
// a symbolic link on the way is followed only when root (or the user
// running the simulator) owns it, in a folder that passes the same rule,
// as a Mac's /tmp: nobody else can point it elsewhere later. The folder is
// held open and every later step on the socket's entry goes through it,
// never through a path.
class ListeningSocket {
 public:
  // Binds, listens (non-blocking) and sets the mode. Throws
  // NativeControlError naming the path, "Socket folder is unsafe: FOLDER
  // REASON" among them.
  ListeningSocket(std::string path, bool private_mode);
  ~ListeningSocket();
  ListeningSocket(const ListeningSocket&) = delete;
  ListeningSocket& operator=(const ListeningSocket&) = delete;

  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }

  // 0600 when private, else 0666 so that ordinary users can connect (and
  // get the kernel's refusal only when a fault asks for it). Changes
  // nothing when the entry is no longer the socket made here.
  void SetPrivate(bool private_mode);
  bool is_private() const { return private_; }

 private:
  // Whether the folder's entry is still the socket made here.
  bool IsOurs() const;

  std::string path_;
  UniqueFd folder_;
  std::string name_;  // of the socket in folder_
  UniqueFd fd_;
  ino_t inode_ = 0;
  bool private_ = false;
};

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_LISTENING_SOCKET_H_
