#ifndef AMPERVALE_STORE_RUNTIME_DIRECTORY_H_
#define AMPERVALE_STORE_RUNTIME_DIRECTORY_H_

#include <sys/types.h>

#include <filesystem>
#include <vector>

#include "store/file_descriptor.h"

namespace ampervale {

// The runtime directory, held open so that every later file operation goes
// through its descriptor and no path can be swapped under it.
//
// A directory above it (its parents, below "/") is safe when it is a real
// directory, not a symbolic link, owned by root or the effective user, and
// writable by nobody else: not by other users, nor by a group other than
// the trusted ones (IsTrustedGroup). A sticky directory (/tmp) is safe
// whoever may write it, since only an entry's owner may then move the
// entry, and the entry below is checked itself.
class RuntimeDirectory {
 public:
  // Walks down from "/" one directory at a time, never through a symbolic
  // link, creating what is missing with mode 0700, and checks each parent.
  // Throws NativeControlError "Backend runtime directory has an unsafe
  // parent: PATH REASON" for an unsafe parent, and "Backend runtime
  // directory has unexpected ownership or type" when `path` itself is not
  // a directory owned by the effective user (changing nothing); then
  // narrows its mode to 0700. File system failures are FileSystemErrors.
  explicit RuntimeDirectory(const std::filesystem::path& path);

  const std::filesystem::path& path() const { return path_; }
  int descriptor() const { return descriptor_.get(); }

  // Checks, with one lstat per level, that the parents are still safe and
  // that the path still leads to the directory held here. Throws
  // NativeControlError: the unsafe-parent message, or "Backend runtime
  // directory was moved or replaced: PATH".
  void recheck() const;

 private:
  std::filesystem::path path_;
  std::vector<std::filesystem::path> parents_;  // outermost first
  FileDescriptor descriptor_{-1};
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

}  // namespace ampervale

#endif  // AMPERVALE_STORE_RUNTIME_DIRECTORY_H_
