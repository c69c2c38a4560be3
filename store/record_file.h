#ifndef AMPERVALE_STORE_RECORD_FILE_H_
#define AMPERVALE_STORE_RECORD_FILE_H_

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "store/file_system.h"

namespace ampervale {

// Record files are a few dozen bytes; anything beyond this is not one.
inline constexpr size_t kMaxRecordFileSize = 64 * 1024;
inline constexpr mode_t kRecordFileMode = 0600;

// The names and paths of one record file, made once so that repeated reads
// and writes build none. The names are entries of `directory`; the paths
// are for messages.
struct RecordPaths {
  RecordPaths(const std::filesystem::path& directory, std::string_view name);

  std::filesystem::path directory;
  std::filesystem::path file;
  // A fixed name per record, so that writers that crash leave at most one
  // leftover, which the next write replaces.
  std::filesystem::path temporary;
  std::string fileName;
  std::string temporaryName;
};

// Reads the whole of a record file, an entry of the directory open as
// `directory`, into `content` and returns true; returns false when no entry
// has that name. Throws FileSystemError naming the file when it cannot be
// read, is a symbolic link (never followed), is not a regular file (a FIFO
// is never waited on), is owned by another user than the effective one, or
// is larger than kMaxRecordFileSize. Leaves the file as it is in every case.
bool ReadRecordFile(int directory, const RecordPaths& paths,
                    std::string& content);

enum class Durability {
  kAtomic,   // readers see the old or the new content; a power loss may
             // bring back the old one
  kFlushed,  // as kAtomic, and the new content is on disk before returning
};

// Replaces the record file, an entry of the directory open as `directory`,
// with `content` in one step, through the temporary file (created
// exclusively, never through a symbolic link, with `mode` set on its
// descriptor), making every call through `files`. On failure throws
// FileSystemError naming the file and leaves the old content in place;
// only when kFlushed's final flush of the directory fails may the new
// content already be there.
// REQUIRES: no other process writes the same record at the same time (the
// caller holds the lock that orders its writers); a leftover temporary
// is taken for a crashed writer's and removed.
void ReplaceRecordFile(int directory, const RecordPaths& paths,
                       std::string_view content, Durability durability,
                       FileSystem& files = SystemFileSystem(),
                       mode_t mode = kRecordFileMode);

}  // namespace ampervale

#endif  // AMPERVALE_STORE_RECORD_FILE_H_
