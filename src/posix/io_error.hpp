// I/O failures of files, directories and processes, independent of Python.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/error_kind.hpp"
#include "base/expected.hpp"

namespace fendral::posix {

// Classifies an errno value.
ErrorKind kind_of_errno(int code);

// The C library's description of `code`, then " (os error N)".
std::string system_error_text(int code);

class IoError {
 public:
  static IoError from_errno(int code) { return IoError(kind_of_errno(code), code, {}); }
  // `message` must be a string with static storage duration.
  static IoError with_message(ErrorKind kind, std::string_view message) {
    return IoError(kind, std::nullopt, message);
  }

  ErrorKind kind() const { return kind_; }
  std::optional<int> os_code() const { return os_code_; }
  std::string text() const;

 private:
  IoError(ErrorKind kind, std::optional<int> os_code, std::string_view message)
      : kind_(kind), os_code_(os_code), message_(message) {}

  ErrorKind kind_;
  std::optional<int> os_code_;
  std::string_view message_;
};

template <class T>
using IoResult = expected<T, IoError>;

inline unexpected<IoError> errno_error(int code) {
  return unexpected(IoError::from_errno(code));
}

// Fixed texts shared by several callers.
inline constexpr std::string_view kNulInPath = "file name contained an unexpected NUL byte";
inline constexpr std::string_view kWriteZero = "failed to write whole buffer";
inline constexpr std::string_view kInvalidUtf8 = "stream did not contain valid UTF-8";

}  // namespace fendral::posix
