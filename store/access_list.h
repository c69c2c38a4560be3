#ifndef AMPERVALE_STORE_ACCESS_LIST_H_
#define AMPERVALE_STORE_ACCESS_LIST_H_

#include <filesystem>
#include <string>
#include <string_view>

namespace ampervale {

// The reason for refusing a list that is not exactly of the form the
// system makes: what it grants cannot be told for sure.
inline constexpr char kUnknownAccessList[] =
    "has an access-control list this system does not understand";

// Why the access-control list of an entry lets someone besides root, the
// effective user and the trusted groups change it: to add, remove or rename
// a directory's entries or write a file's data, and where lists allow it,
// to rewrite the list, the owner or the entry's own place. Returns "is open
// to user N through its access-control list" (or "group N", or "an unknown
// member" when its id cannot be told), kUnknownAccessList for a list it
// does not fully understand, or empty when the list lets nobody else in or
// there is none. Throws FileSystemError naming `path` when the list cannot
// be read. One implementation per platform, chosen by CMake.
//
// This one reads the list of the entry open as `descriptor`; `path` names
// it in messages.
std::string AccessListReason(int descriptor, const std::filesystem::path& path);
// This one reads it by `path`, not followed when it is a symbolic link: for
// an entry that is not held open, below folders that passed already.
std::string AccessListReason(const std::filesystem::path& path);

// Linux only: the judgement above of a list as the kernel encodes it in the
// attribute "system.posix_acl_access".
std::string PosixAccessListReason(std::string_view attribute);

}  // namespace ampervale

#endif  // AMPERVALE_STORE_ACCESS_LIST_H_
