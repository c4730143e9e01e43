#include "posix/io_error.hpp"

#include <cerrno>
#include <cstring>
#include <initializer_list>

namespace fendral::posix {

ErrorKind kind_of_errno(int code) {
#define FENDRAL_ERROR_KIND(kind, description, exception_class, ...)  \
  for (const int listed : std::initializer_list<int>{__VA_ARGS__}) { \
    if (listed == code) return ErrorKind::kind;                      \
  }
#include "base/error_kinds.def"
#undef FENDRAL_ERROR_KIND
  return ErrorKind::Uncategorized;
}

std::string system_error_text(int code) {
  char buffer[256];
  // GNU strerror_r returns a pointer that may or may not point into `buffer`.
  const char* description = strerror_r(code, buffer, sizeof buffer);
  std::string text(description);
  text += " (os error ";
  text += std::to_string(code);
  text += ')';
  return text;
}

std::string IoError::text() const {
  if (os_code_) return system_error_text(*os_code_);
  if (!message_.empty()) return std::string(message_);
  return std::string(describe(kind_));
}

}  // namespace fendral::posix
