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

constexpr char kAttribute[] = "system.posix_acl_access";
constexpr uint32_t kVersion = 2;
constexpr size_t kHeaderSize = 4;
constexpr size_t kEntrySize = 8;
constexpr uint16_t kNamedUser = 0x02;
constexpr uint16_t kNamedGroup = 0x08;
constexpr uint16_t kMask = 0x10;
// Adding, removing and renaming entries of a directory, or writing a file.
constexpr uint16_t kWrite = 0x02;

uint32_t LittleEndian(const unsigned char* bytes, size_t size) {
  uint32_t value = 0;
  for (size_t i = size; i > 0; --i) value = value << 8 | bytes[i - 1];
  return value;
}

struct Entry {
  uint16_t tag;
  uint16_t permissions;
  uint32_t id;
};

// The attribute's bytes; empty when the entry has no list, or its file
// system keeps none.
std::vector<unsigned char> ReadAttribute(const std::filesystem::path& path) {
  std::vector<unsigned char> bytes;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const ssize_t size = lgetxattr(path.c_str(), kAttribute, nullptr, 0);
    if (size < 0 && (errno == ENODATA || errno == ENOTSUP)) return {};
    if (size < 0) break;
    bytes.resize(static_cast<size_t>(size));
    const ssize_t read =
        lgetxattr(path.c_str(), kAttribute, bytes.data(), bytes.size());
    if (read >= 0) {
      bytes.resize(static_cast<size_t>(read));
      return bytes;
    }
    if (errno != ERANGE) break;  // ERANGE: the list grew in between
  }
  throw FileSystemError(errno, "Cannot read the access-control list of", path);
}

std::vector<Entry> Parse(const std::vector<unsigned char>& bytes,
                         const std::filesystem::path& path) {
  if (bytes.size() < kHeaderSize ||
      (bytes.size() - kHeaderSize) % kEntrySize != 0 ||
      LittleEndian(bytes.data(), 4) != kVersion) {
    throw FileSystemError(EINVAL, "Cannot read the access-control list of",
                          path, "not a list this system knows");
  }
  std::vector<Entry> entries;
  for (size_t at = kHeaderSize; at < bytes.size(); at += kEntrySize) {
    const unsigned char* entry = bytes.data() + at;
    entries.push_back({static_cast<uint16_t>(LittleEndian(entry, 2)),
                       static_cast<uint16_t>(LittleEndian(entry + 2, 2)),
                       LittleEndian(entry + 4, 4)});
  }
  return entries;
}

}  // namespace

std::string AccessListWriter(const std::filesystem::path& path) {
  const std::vector<unsigned char> bytes = ReadAttribute(path);
  if (bytes.empty()) return "";
  const std::vector<Entry> entries = Parse(bytes, path);
  // Named entries grant only what the mask lets through.
  uint16_t mask = kWrite;
  for (const Entry& entry : entries) {
    if (entry.tag == kMask) mask = entry.permissions;
  }
  for (const Entry& entry : entries) {
    if ((entry.permissions & mask & kWrite) == 0) continue;
    if (entry.tag == kNamedUser && entry.id != 0 && entry.id != geteuid()) {
      return "user " + std::to_string(entry.id);
    }
    if (entry.tag == kNamedGroup && !IsTrustedGroup(entry.id)) {
      return "group " + std::to_string(entry.id);
    }
  }
  return "";
}

}  // namespace ampervale
