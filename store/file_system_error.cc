#include "store/file_system_error.h"

#include <string>

namespace ampervale {

namespace {

std::string Describe(std::string_view action, const std::filesystem::path& path,
                     std::string_view detail) {
  std::string text(action);
  text += ' ';
  text += path.native();
  text += ": ";
  text += detail;
  return text;
}

}  // namespace

FileSystemError::FileSystemError(int errorNumber, std::string_view action,
                                 const std::filesystem::path& path)
    : FileSystemError(errorNumber, action, path,
                      std::generic_category().message(errorNumber)) {}

FileSystemError::FileSystemError(int errorNumber, std::string_view action,
                                 const std::filesystem::path& path,
                                 std::string_view detail)
    : std::system_error(errorNumber, std::generic_category()),
      message_(Describe(action, path, detail)) {}

}  // namespace ampervale
