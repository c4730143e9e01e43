// Failures of native operations, described without touching Python: the boundary turns a
// Failure into exactly one host exception, and an InternalFault into PanicException.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <utility>

#include "base/error_kind.hpp"
#include "base/expected.hpp"

namespace fendral {

// Host exception classes an operation may ask for. The OSError family is chosen from an I/O
// error's kind.
enum class ExceptionClass {
  OSError,
  RuntimeError,
  ValueError,
  TypeError,
  OverflowError,
  MemoryError,
  NotImplementedError,
};

struct Failure {
  ExceptionClass exception_class;
  ErrorKind io_kind = ErrorKind::Other;  // meaningful for OSError only
  std::string message;

  static Failure runtime_error(std::string message) {
    return {ExceptionClass::RuntimeError, ErrorKind::Other, std::move(message)};
  }
  static Failure value_error(std::string message) {
    return {ExceptionClass::ValueError, ErrorKind::Other, std::move(message)};
  }
  static Failure memory_error(std::string message) {
    return {ExceptionClass::MemoryError, ErrorKind::Other, std::move(message)};
  }
  // Any I/O error that tells its kind and text, such as the POSIX layer's.
  template <class IoError>
  static Failure os_error(const IoError& error) {
    return {ExceptionClass::OSError, error.kind(), error.text()};
  }
};

template <class T>
using Result = expected<T, Failure>;

inline unexpected<Failure> fail(Failure failure) {
  return unexpected(std::move(failure));
}
template <class IoError>
unexpected<Failure> fail_os(const IoError& error) {
  return unexpected(Failure::os_error(error));
}
inline unexpected<Failure> runtime_failure(std::string message) {
  return fail(Failure::runtime_error(std::move(message)));
}

// A condition the module treats as impossible or unrecoverable. Thrown, never returned; the
// entry point that catches it raises PanicException with its message.
class InternalFault : public std::exception {
 public:
  explicit InternalFault(std::string message,
                         std::source_location where = std::source_location::current())
      : message_(std::move(message)), where_(where) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::source_location& where() const { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

}  // namespace fendral
