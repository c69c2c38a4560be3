#include "store/record_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "store/disk_sync.h"
#include "store/file_descriptor.h"
#include "store/file_system_error.h"

namespace ampervale {

namespace {

namespace fs = std::filesystem;

// O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
constexpr int kReadFlags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
constexpr int kCreateFlags =
    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t kRecordMode = 0600;

// Reads until `content` is full; a file that shrank since fstat keeps what
// it still had.
void ReadInto(int descriptor, const fs::path& file, std::string& content) {
  size_t filled = 0;
  while (filled < content.size()) {
    const ssize_t count =
        read(descriptor, content.data() + filled, content.size() - filled);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) throw FileSystemError(errno, "Cannot read", file);
    if (count == 0) break;
    filled += static_cast<size_t>(count);
  }
  content.resize(filled);
}

// A leftover of the same name can only be a crashed writer's, since the
// caller orders the writers.
int CreateExclusive(const fs::path& path) {
  int descriptor = open(path.c_str(), kCreateFlags, kRecordMode);
  if (descriptor < 0 && errno == EEXIST && unlink(path.c_str()) == 0) {
    descriptor = open(path.c_str(), kCreateFlags, kRecordMode);
  }
  if (descriptor < 0) throw FileSystemError(errno, "Cannot create", path);
  return descriptor;
}

// The new content on its way to taking a record file's place; removed
// unless it got there.
class TemporaryFile {
 public:
  explicit TemporaryFile(const fs::path& path)
      : path_(path), descriptor_(CreateExclusive(path)) {}
  ~TemporaryFile() {
    if (!renamed_) unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  void write(std::string_view content) {
    while (!content.empty()) {
      const ssize_t count =
          ::write(descriptor_.get(), content.data(), content.size());
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) throw FileSystemError(errno, "Cannot write", path_);
      content.remove_prefix(static_cast<size_t>(count));
    }
  }

  void flush() {
    if (!SyncFileData(descriptor_.get())) {
      throw FileSystemError(errno, "Cannot flush", path_);
    }
  }

  void close() {
    if (descriptor_.close() != 0) {
      throw FileSystemError(errno, "Cannot write", path_);
    }
  }

  void renameOver(const fs::path& file) {
    if (std::rename(path_.c_str(), file.c_str()) != 0) {
      throw FileSystemError(errno, "Cannot replace", file);
    }
    renamed_ = true;
  }

 private:
  const fs::path& path_;
  FileDescriptor descriptor_;
  bool renamed_ = false;
};

void FlushDirectory(const fs::path& directory) {
  const FileDescriptor descriptor(
      open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!descriptor.valid() || !SyncDirectory(descriptor.get())) {
    throw FileSystemError(errno, "Cannot flush", directory);
  }
}

}  // namespace

RecordPaths::RecordPaths(const fs::path& directoryPath, std::string_view name)
    : directory(directoryPath),
      file(directoryPath / name),
      temporary(directoryPath / (std::string(name) + ".tmp")) {}

bool ReadRecordFile(const fs::path& file, std::string& content) {
  const FileDescriptor descriptor(open(file.c_str(), kReadFlags));
  if (!descriptor.valid() && errno == ENOENT) return false;
  struct stat status {};
  if (!descriptor.valid() || fstat(descriptor.get(), &status) != 0) {
    throw FileSystemError(errno, "Cannot read", file);
  }
  if (!S_ISREG(status.st_mode)) {
    throw FileSystemError(EINVAL, "Cannot read", file, "not a regular file");
  }
  if (static_cast<uintmax_t>(status.st_size) > kMaxRecordFileSize) {
    throw FileSystemError(
        EFBIG, "Cannot read", file,
        "larger than " + std::to_string(kMaxRecordFileSize) + " bytes");
  }
  content.resize(static_cast<size_t>(status.st_size));
  ReadInto(descriptor.get(), file, content);
  return true;
}

void ReplaceRecordFile(const RecordPaths& paths, std::string_view content,
                       Durability durability) {
  TemporaryFile temporary(paths.temporary);
  temporary.write(content);
  if (durability == Durability::kFlushed) temporary.flush();
  temporary.close();
  temporary.renameOver(paths.file);
  if (durability == Durability::kFlushed) FlushDirectory(paths.directory);
}

}  // namespace ampervale
