#include "posix/io_error.hpp"

#include <cerrno>
#include <cstring>

namespace fendral::posix {

ErrorKind kind_of_errno(int code) {
  switch (code) {
    case ENOENT:
      return ErrorKind::NotFound;
    case EACCES:
    case EPERM:
      return ErrorKind::PermissionDenied;
    case EEXIST:
      return ErrorKind::AlreadyExists;
    case EPIPE:
      return ErrorKind::BrokenPipe;
    case ENOTDIR:
      return ErrorKind::NotADirectory;
    case EISDIR:
      return ErrorKind::IsADirectory;
    case EAGAIN:
      return ErrorKind::WouldBlock;
    case ECONNABORTED:
      return ErrorKind::ConnectionAborted;
    case ECONNRESET:
      return ErrorKind::ConnectionReset;
    case ECONNREFUSED:
      return ErrorKind::ConnectionRefused;
    case ETIMEDOUT:
      return ErrorKind::TimedOut;
    case EINTR:
      return ErrorKind::Interrupted;
    default:
      return ErrorKind::Uncategorized;
  }
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
