#ifndef AMPERVALE_STORE_CHECKED_PATH_H_
#define AMPERVALE_STORE_CHECKED_PATH_H_

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "store/file_descriptor.h"

namespace ampervale {

// The rule for everything root relies on by path: the folders above its
// files and the programs it registers. An entry is safe when it is not a
// symbolic link, is owned by root or the effective user, and lets nobody
// else change it: neither other users, nor a group other than the trusted
// ones (IsTrustedGroup), through its mode or its access-control list.

enum class EntryKind { kDirectory, kFile };

// Whether a sticky directory (/tmp) is safe whoever may write it through
// its mode, since only an entry's owner may then move the entry, and the
// entry below is checked itself. It is for what is walked again at every
// use; it is not for what launchd follows at every boot, since once a file
// there is gone (a reboot empties /tmp) anyone may put their own in its
// place.
enum class Sticky { kSafe, kUnsafe };

// Why the entry at `path`, whose lstat is `status`, is unsafe: "is a
// symbolic link", "is not a directory", "is owned by user N", "is writable
// by other users", "is writable by group N", or a reason of its
// access-control list (AccessListReason); empty when it is safe. Reads the
// list by `path`, so the folders above it must be safe already. Throws
// FileSystemError when the list cannot be read.
std::string UnsafeReason(const struct stat& status,
                         const std::filesystem::path& path, EntryKind kind,
                         Sticky sticky = Sticky::kSafe);

// Throws NativeControlError "`refusal`PATH REASON" when the entry is
// unsafe.
void CheckEntry(const struct stat& status, const std::filesystem::path& path,
                EntryKind kind, const std::string& refusal);

enum class Missing { kCreate, kFail };

// Opens `name` in the directory open as `parent` as a directory (read-only,
// close-on-exec), made with mode 0700 when missing and `missing` is
// kCreate. A symbolic link or another kind of file fails with ELOOP or
// ENOTDIR. Returns the descriptor, or -1 with errno set.
int OpenDirectoryAt(int parent, const char* name, Missing missing);

// The target of the symbolic link `link`, an entry of the directory open
// as `folder`, as it is written. Throws FileSystemError naming `link`.
std::filesystem::path LinkTargetAt(int folder,
                                   const std::filesystem::path& link);

// What a walk down to a folder refuses, and how.
struct WalkRule {
  std::string refusal;  // the message's start, before "PATH REASON"
  Missing missing = Missing::kFail;
  Sticky sticky = Sticky::kSafe;
  // Whether a symbolic link on the way is followed when it is owned by root
  // or the effective user (its folder passed already), as a Mac's /tmp;
  // otherwise every link is refused.
  bool followOwnLinks = false;
};

// The folder that holds an entry, open, and its path as walked: free of
// links, "." and "..".
struct CheckedParent {
  FileDescriptor descriptor;
  std::filesystem::path path;
};

// Opens the directory that holds `path` (absolute), walking down from "/"
// one component at a time as the kernel resolves it, and checks every
// directory below "/" with `rule` as it is reached, its access-control list
// read through the open directory. "." stays and ".." goes up to the
// directory the walk came from, never through a link, so that what is
// checked is what the kernel reaches. A missing directory is made with
// mode 0700 under Missing::kCreate and is a FileSystemError under kFail; so
// is a link followed more than 40 times. `reached`, when given, receives
// each directory checked, outermost first.
CheckedParent WalkToParent(
    const std::filesystem::path& path, const WalkRule& rule,
    std::vector<std::filesystem::path>* reached = nullptr);

// WalkToParent with the default rule but `refusal` and `missing`, for a
// path that is absolute and normal.
FileDescriptor OpenCheckedParent(
    const std::filesystem::path& path, const std::string& refusal,
    Missing missing, std::vector<std::filesystem::path>* reached = nullptr);

}  // namespace ampervale

#endif  // AMPERVALE_STORE_CHECKED_PATH_H_
