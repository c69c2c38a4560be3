#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "store/access_list.h"
#include "store/file_system_error.h"
#include "store/trusted_group.h"

// POSIX access-control lists as the kernel stores them in an extended
// attribute, read by hand: a little-endian version word, then one 8-byte
// entry (tag, permissions, id) per grant.

namespace ampervale {

namespace {

namespace fs = std::filesystem;

constexpr char kAttribute[] = "system.posix_acl_access";
constexpr uint32_t kVersion = 2;
constexpr size_t kHeaderSize = 4;
constexpr size_t kEntrySize = 8;
// The tags, in the one order in which the kernel keeps them.
constexpr uint16_t kOwner = 0x01;
constexpr uint16_t kNamedUser = 0x02;
constexpr uint16_t kOwningGroup = 0x04;
constexpr uint16_t kNamedGroup = 0x08;
constexpr uint16_t kMask = 0x10;
constexpr uint16_t kOthers = 0x20;
constexpr uint16_t kNamed = kNamedUser | kNamedGroup;
constexpr uint16_t kAlways = kOwner | kOwningGroup | kOthers;
constexpr uint16_t kReadWriteExecute = 0x07;
// Adding, removing and renaming entries of a directory, or writing a file.
constexpr uint16_t kWrite = 0x02;

uint32_t LittleEndian(const char* bytes, size_t size) {
  uint32_t value = 0;
  for (size_t i = size; i > 0; --i) {
    value = value << 8 | static_cast<unsigned char>(bytes[i - 1]);
  }
  return value;
}

struct Entry {
  uint16_t tag;
  uint16_t permissions;
  uint32_t id;
};

// The attribute's bytes, `get` being a getxattr call on the entry at
// `path`; empty when the entry has no list, or its file system keeps none.
template <typename Get>
std::string ReadAttribute(const Get& get, const fs::path& path) {
  std::string bytes;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const ssize_t size = get(nullptr, 0);
    if (size < 0 && (errno == ENODATA || errno == ENOTSUP)) return {};
    if (size < 0) break;
    bytes.resize(static_cast<size_t>(size));
    const ssize_t read = get(bytes.data(), bytes.size());
    if (read >= 0) {
      bytes.resize(static_cast<size_t>(read));
      return bytes;
    }
    if (errno != ERANGE) break;  // ERANGE: the list grew in between
  }
  throw FileSystemError(errno, "Cannot read the access-control list of", path);
}

// Each singleton once, named entries only with a mask, every tag in its
// place and no permission beyond read, write and execute: anything else is
// a list whose meaning is a guess.
bool IsKernelList(const std::vector<Entry>& entries) {
  uint16_t previous = 0, seen = 0;
  for (const Entry& entry : entries) {
    const bool known = (entry.tag & (kAlways | kNamed | kMask)) != 0 &&
                       (entry.tag & (entry.tag - 1)) == 0;
    if (!known || entry.tag < previous ||
        (entry.tag == previous && (entry.tag & kNamed) == 0) ||
        (entry.permissions & ~kReadWriteExecute) != 0) {
      return false;
    }
    previous = entry.tag;
    seen |= entry.tag;
  }
  return (seen & kAlways) == kAlways &&
         ((seen & kNamed) == 0 || (seen & kMask) != 0);
}

// The entries, or none when the bytes are not a whole list of this version.
std::vector<Entry> Parse(std::string_view bytes) {
  if (bytes.size() < kHeaderSize ||
      (bytes.size() - kHeaderSize) % kEntrySize != 0 ||
      LittleEndian(bytes.data(), 4) != kVersion) {
    return {};
  }
  std::vector<Entry> entries;
  for (size_t at = kHeaderSize; at < bytes.size(); at += kEntrySize) {
    const char* entry = bytes.data() + at;
    entries.push_back({static_cast<uint16_t>(LittleEndian(entry, 2)),
                       static_cast<uint16_t>(LittleEndian(entry + 2, 2)),
                       LittleEndian(entry + 4, 4)});
  }
  return entries;
}

std::string Judge(const std::string& attribute) {
  return attribute.empty() ? "" : PosixAccessListReason(attribute);
}

// The grantee of a named entry, unless it is root, the effective user or a
// trusted group.
std::string Untrusted(const Entry& entry) {
  if (entry.tag == kNamedUser && entry.id != 0 && entry.id != geteuid()) {
    return "user " + std::to_string(entry.id);
  }
  if (entry.tag == kNamedGroup && !IsTrustedGroup(entry.id)) {
    return "group " + std::to_string(entry.id);
  }
  return "";
}

}  // namespace

std::string PosixAccessListReason(std::string_view attribute) {
  const std::vector<Entry> entries = Parse(attribute);
  if (!IsKernelList(entries)) return kUnknownAccessList;
  // Named entries grant only what the mask, present with them, lets through.
  uint16_t mask = kWrite;
  for (const Entry& entry : entries) {
    if (entry.tag == kMask) mask = entry.permissions;
  }
  for (const Entry& entry : entries) {
    if ((entry.permissions & mask & kWrite) == 0) continue;
    const std::string grantee = Untrusted(entry);
    if (!grantee.empty()) {
      return "is open to " + grantee + " through its access-control list";
    }
  }
  return "";
}

std::string AccessListReason(int descriptor, const fs::path& path) {
  return Judge(ReadAttribute(
      [&](void* value, size_t size) {
        return fgetxattr(descriptor, kAttribute, value, size);
      },
      path));
}

std::string AccessListReason(const fs::path& path) {
  return Judge(ReadAttribute(
      [&](void* value, size_t size) {
        return lgetxattr(path.c_str(), kAttribute, value, size);
      },
      path));
}

}  // namespace ampervale
