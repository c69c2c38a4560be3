#include "store/record_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "store/file_descriptor.h"
#include "store/file_system_error.h"

namespace ampervale {

namespace {

namespace fs = std::filesystem;

// O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
constexpr int kReadFlags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

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

// The new content on its way to taking a record file's place; removed
// unless it got there. A leftover of the same name can only be a crashed
// writer's, since the caller orders the writers.
class TemporaryFile {
 public:
  TemporaryFile(int directory, const RecordPaths& paths, FileSystem& files)
      : directory_(directory), paths_(paths), files_(files) {
    const char* name = paths_.temporaryName.c_str();
    descriptor_ = files_.createExclusive(directory_, name, kRecordFileMode);
    if (descriptor_ < 0 && errno == EEXIST &&
        unlinkat(directory_, name, 0) == 0) {
      descriptor_ = files_.createExclusive(directory_, name, kRecordFileMode);
    }
    if (descriptor_ < 0) fail("Cannot create", paths_.temporary);
  }
  ~TemporaryFile() {
    if (descriptor_ >= 0) files_.close(descriptor_);
    if (!renamed_) unlinkat(directory_, paths_.temporaryName.c_str(), 0);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // Set on the descriptor, since the umask may narrow the creation mode.
  void setMode(mode_t mode) {
    if (fchmod(descriptor_, mode) != 0) {
      fail("Cannot set the mode of", paths_.temporary);
    }
  }

  void write(std::string_view content) {
    while (!content.empty()) {
      const ssize_t count =
          files_.write(descriptor_, content.data(), content.size());
      if (count < 0 && errno == EINTR) continue;
      // A write that makes no progress would be tried for ever.
      if (count == 0) errno = EIO;
      if (count <= 0) fail("Cannot write", paths_.temporary);
      content.remove_prefix(static_cast<size_t>(count));
    }
  }

  void flush() {
    if (!files_.syncData(descriptor_)) fail("Cannot flush", paths_.temporary);
  }

  // A failed close can be the first report of a lost write.
  void close() {
    const int result = files_.close(descriptor_);
    descriptor_ = -1;
    if (result != 0) fail("Cannot write", paths_.temporary);
  }

  void renameOver() {
    if (files_.rename(directory_, paths_.temporaryName.c_str(),
                      paths_.fileName.c_str()) != 0) {
      fail("Cannot replace", paths_.file);
    }
    renamed_ = true;
  }

 private:
  [[noreturn]] static void fail(const char* action, const fs::path& path) {
    throw FileSystemError(errno, action, path);
  }

  int directory_;
  const RecordPaths& paths_;
  FileSystem& files_;
  int descriptor_ = -1;
  bool renamed_ = false;
};

}  // namespace

RecordPaths::RecordPaths(const fs::path& directoryPath, std::string_view name)
    : directory(directoryPath),
      file(directoryPath / name),
      temporary(directoryPath / (std::string(name) + ".tmp")),
      fileName(name),
      temporaryName(std::string(name) + ".tmp") {}

bool ReadRecordFile(int directory, const RecordPaths& paths,
                    std::string& content) {
  const FileDescriptor descriptor(
      openat(directory, paths.fileName.c_str(), kReadFlags));
  if (!descriptor.valid() && errno == ENOENT) return false;
  struct stat status {};
  if (!descriptor.valid() || fstat(descriptor.get(), &status) != 0) {
    throw FileSystemError(errno, "Cannot read", paths.file);
  }
  if (!S_ISREG(status.st_mode)) {
    throw FileSystemError(EINVAL, "Cannot read", paths.file,
                          "not a regular file");
  }
  if (status.st_uid != geteuid()) {
    throw FileSystemError(EPERM, "Cannot read", paths.file,
                          "owned by user " + std::to_string(status.st_uid));
  }
  if (static_cast<uintmax_t>(status.st_size) > kMaxRecordFileSize) {
    throw FileSystemError(
        EFBIG, "Cannot read", paths.file,
        "larger than " + std::to_string(kMaxRecordFileSize) + " bytes");
  }
  content.resize(static_cast<size_t>(status.st_size));
  ReadInto(descriptor.get(), paths.file, content);
  return true;
}

void ReplaceRecordFile(int directory, const RecordPaths& paths,
                       std::string_view content, Durability durability,
                       FileSystem& files, mode_t mode) {
  TemporaryFile temporary(directory, paths, files);
  if (mode != kRecordFileMode) temporary.setMode(mode);
  temporary.write(content);
  if (durability == Durability::kFlushed) temporary.flush();
  temporary.close();
  temporary.renameOver();
  if (durability == Durability::kFlushed && !files.syncDirectory(directory)) {
    throw FileSystemError(errno, "Cannot flush", paths.directory);
  }
}

}  // namespace ampervale
