#ifndef AMPERVALE_STORE_FILE_DESCRIPTOR_H_
#define AMPERVALE_STORE_FILE_DESCRIPTOR_H_

#include <unistd.h>

namespace ampervale {

// Owns an open descriptor (or a negative failed one) and closes it on every
// path out of a scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int descriptor) noexcept : descriptor_(descriptor) {}
  ~FileDescriptor() {
    if (descriptor_ >= 0) ::close(descriptor_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor(FileDescriptor&& other) noexcept
      : descriptor_(other.descriptor_) {
    other.descriptor_ = -1;
  }
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      reset(other.descriptor_);
      other.descriptor_ = -1;
    }
    return *this;
  }

  int get() const noexcept { return descriptor_; }
  bool valid() const noexcept { return descriptor_ >= 0; }

  // Gives up ownership: the descriptor stays open.
  void release() noexcept { descriptor_ = -1; }

  // Closes the descriptor held so far and holds `descriptor` instead.
  void reset(int descriptor) noexcept {
    if (descriptor_ >= 0) ::close(descriptor_);
    descriptor_ = descriptor;
  }

  // Closes now and returns close()'s result, errno set on failure. For a
  // written file a failed close can be the first report of a lost write.
  // The descriptor is gone afterwards either way.
  int close() noexcept {
    const int result = ::close(descriptor_);
    descriptor_ = -1;
    return result;
  }

 private:
  int descriptor_;
};

}  // namespace ampervale

#endif  // AMPERVALE_STORE_FILE_DESCRIPTOR_H_
