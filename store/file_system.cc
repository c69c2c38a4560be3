#include "store/file_system.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "store/disk_sync.h"

namespace ampervale {

namespace {

class SystemCalls final : public FileSystem {
 public:
  int createExclusive(int directory, const char* name, mode_t mode) override {
    return openat(directory, name,
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  }
  ssize_t write(int descriptor, const char* data, size_t size) override {
    return ::write(descriptor, data, size);
  }
  bool syncData(int descriptor) override { return SyncFileData(descriptor); }
  int close(int descriptor) override { return ::close(descriptor); }
  int rename(int directory, const char* from, const char* to) override {
    return renameat(directory, from, directory, to);
  }
  bool syncDirectory(int directory) override {
    return SyncDirectory(directory);
  }
};

}  // namespace

FileSystem& SystemFileSystem() {
  static SystemCalls calls;
  return calls;
}

}  // namespace ampervale
