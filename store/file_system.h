#ifndef AMPERVALE_STORE_FILE_SYSTEM_H_
#define AMPERVALE_STORE_FILE_SYSTEM_H_

#include <sys/types.h>

#include <cstddef>

namespace ampervale {

// The calls by which a record file is replaced, relative to a held
// directory descriptor. Writers take one of these so that tests can watch
// the order of the steps a durable replacement needs and fail any one of
// them. Each behaves as the system call it names: a negative result (or
// false) is a failure with errno set.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // openat with O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC.
  virtual int createExclusive(int directory, const char* name, mode_t mode) = 0;
  virtual ssize_t write(int descriptor, const char* data, size_t size) = 0;
  // Flushes the file's data and what is needed to read it back.
  virtual bool syncData(int descriptor) = 0;
  virtual int close(int descriptor) = 0;
  // renameat within one directory.
  virtual int rename(int directory, const char* from, const char* to) = 0;
  // Flushes the directory's entries, so that a rename survives power loss.
  virtual bool syncDirectory(int directory) = 0;
};

// The system's own calls.
FileSystem& SystemFileSystem();

}  // namespace ampervale

#endif  // AMPERVALE_STORE_FILE_SYSTEM_H_
