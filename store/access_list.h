#ifndef AMPERVALE_STORE_ACCESS_LIST_H_
#define AMPERVALE_STORE_ACCESS_LIST_H_

#include <filesystem>
#include <string>

namespace ampervale {

// Whom, besides root, the effective user and the trusted groups, the
// access-control list of the entry at `path` (not followed when it is a
// symbolic link) allows to change it: to add, remove or rename a
// directory's entries or write a file's data, and where lists allow it, to
// rewrite the list, the owner or the entry's own place. Returns the first
// such grantee as "user N" or "group N" ("an unknown member" when its id
// cannot be told), or empty when there is none or no list at all. Throws
// FileSystemError when the list cannot be read or makes no sense. One
// implementation per platform, chosen by CMake.
std::string AccessListWriter(const std::filesystem::path& path);

}  // namespace ampervale

#endif  // AMPERVALE_STORE_ACCESS_LIST_H_
