#ifndef AMPERVALE_STORE_FILE_SYSTEM_ERROR_H_
#define AMPERVALE_STORE_FILE_SYSTEM_ERROR_H_

#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <system_error>

namespace ampervale {

// A failure of the file system, told in one line that names the file:
// "Cannot read /dir/policy.json: Permission denied". code() holds the errno.
class FileSystemError : public std::system_error {
 public:
  // The text after the path is the system's description of `errorNumber`.
  FileSystemError(int errorNumber, std::string_view action,
                  const std::filesystem::path& path);

  // The text after the path is `detail`, for failures the system does not
  // describe itself (a FIFO where a file should be).
  FileSystemError(int errorNumber, std::string_view action,
                  const std::filesystem::path& path, std::string_view detail);

  const char* what() const noexcept override { return message_.what(); }

 private:
  // Held in a runtime_error so that copying the exception cannot throw.
  std::runtime_error message_;
};

}  // namespace ampervale

#endif  // AMPERVALE_STORE_FILE_SYSTEM_ERROR_H_
