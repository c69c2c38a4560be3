#ifndef AMPERVALE_COMMON_NATIVE_CONTROL_ERROR_H_
#define AMPERVALE_COMMON_NATIVE_CONTROL_ERROR_H_

#include <exception>
#include <string>

namespace ampervale {

// A failure the system itself detected. The description is exactly the text
// the user sees; the error carries no code of its own.
class NativeControlError : public std::exception {
 public:
  explicit NativeControlError(std::string description)
      : description_(std::move(description)) {}

  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  std::string description_;
};

}  // namespace ampervale

#endif  // AMPERVALE_COMMON_NATIVE_CONTROL_ERROR_H_
