#include "posix/io_error.hpp"

#include <cerrno>
#include <cstring>
#include <initializer_list>

namespace fendral::posix {
namespace {

// strerror_r comes in two forms, and the C library's declaration says which one it has. The GNU
// form (glibc, where g++ always asks for it) returns the text, which may be a static string
// rather than `buffer`; the POSIX form (musl, the BSDs) fills `buffer` and returns 0 or an error
// number. Overload resolution on the returned type picks the matching reading; the other one is
// never called.
[[maybe_unused]] std::string strerror_r_text(const char* text, const char*, int) {
  return text;
}

[[maybe_unused]] std::string strerror_r_text(int status, const char* buffer, int code) {
  if (status == 0) return buffer;
  return "Unknown error " + std::to_string(code);
}

}  // namespace

ErrorKind kind_of_errno(int code) {
#define FENDRAL_ERROR_KIND(kind, exception_class, ...)               \
  for (const int listed : std::initializer_list<int>{__VA_ARGS__}) { \
    if (listed == code) return ErrorKind::kind;                      \
  }
#include "base/error_kinds.def"
#undef FENDRAL_ERROR_KIND
  return ErrorKind::Uncategorized;
}

std::string system_error_text(int code) {
  char buffer[256];
  std::string text = strerror_r_text(strerror_r(code, buffer, sizeof buffer), buffer, code);
  text += " (os error ";
  text += std::to_string(code);
  text += ')';
  return text;
}

std::string IoError::text() const {
  if (os_code_) return system_error_text(*os_code_);
  return std::string(message_);
}

}  // namespace fendral::posix
