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
// ones (IsTrustedGroup), through its mode or its access-control list. A
// sticky directory (/tmp) is safe whoever may write it through its mode,
// since only an entry's owner may then move the entry, and the entry below
// is checked itself.

enum class EntryKind { kDirectory, kFile };

// Why the entry at `path`, whose lstat is `status`, is unsafe: "is a
// symbolic link", "is not a directory", "is owned by user N", "is writable
// by other users", "is writable by group N" or "is open to user N through
// its access-control list" (or group N); empty when it is safe. Reads the
// entry's access-control list by `path`, so the folders above it must be
// safe already. Throws FileSystemError when the list cannot be read.
std::string UnsafeReason(const struct stat& status,
                         const std::filesystem::path& path, EntryKind kind);

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

// Opens the directory that holds `path` (absolute and normal), walking down
// from "/" one directory at a time, never through a symbolic link, and
// checks every directory below "/" with CheckEntry as it is reached. With
// Missing::kCreate a missing directory is made with mode 0700; with kFail
// it is a FileSystemError. `reached`, when given, receives each checked
// directory, outermost first.
FileDescriptor OpenCheckedParent(
    const std::filesystem::path& path, const std::string& refusal,
    Missing missing, std::vector<std::filesystem::path>* reached = nullptr);

}  // namespace ampervale

#endif  // AMPERVALE_STORE_CHECKED_PATH_H_
