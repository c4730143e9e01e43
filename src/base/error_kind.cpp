#include "base/error_kind.hpp"

namespace fendral {

std::string_view describe(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::NotFound:
      return "entity not found";
    case ErrorKind::PermissionDenied:
      return "permission denied";
    case ErrorKind::ConnectionRefused:
      return "connection refused";
    case ErrorKind::ConnectionReset:
      return "connection reset";
    case ErrorKind::ConnectionAborted:
      return "connection aborted";
    case ErrorKind::BrokenPipe:
      return "broken pipe";
    case ErrorKind::AlreadyExists:
      return "entity already exists";
    case ErrorKind::WouldBlock:
      return "operation would block";
    case ErrorKind::NotADirectory:
      return "not a directory";
    case ErrorKind::IsADirectory:
      return "is a directory";
    case ErrorKind::TimedOut:
      return "timed out";
    case ErrorKind::Interrupted:
      return "operation interrupted";
    case ErrorKind::InvalidInput:
      return "invalid input parameter";
    case ErrorKind::InvalidData:
      return "invalid data";
    case ErrorKind::WriteZero:
      return "write zero";
    case ErrorKind::UnexpectedEof:
      return "unexpected end of file";
    case ErrorKind::Other:
      return "other error";
    case ErrorKind::Uncategorized:
      return "uncategorized error";
  }
  return "uncategorized error";
}

}  // namespace fendral
