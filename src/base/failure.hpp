// Failures of native operations, described without touching Python: the boundary turns a
// Failure into exactly one host exception, and an InternalFault into PanicException.
#pragma once

#include <concepts>
#include <exception>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
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
  MemoryError,
};

// An error of a lower layer that tells what kind of I/O failure it is and describes itself, such
// as the POSIX layer's IoError. This layer knows nothing of that one.
template <class Error>
concept DescribedIoError = requires(const Error& error) {
  { error.kind() } -> std::same_as<ErrorKind>;
  { error.text() } -> std::convertible_to<std::string>;
};

// The operating-system error behind a failure whose message callers match and so must stay as
// it is: the exception then gets, as its cause, the OSError of `code` naming `path`.
struct OsCause {
  int code;
  std::string path;
};

struct Failure {
  ExceptionClass exception_class;
  ErrorKind io_kind = ErrorKind::Other;  // meaningful for OSError only
  std::string message;
  std::optional<OsCause> cause;

  Failure(ExceptionClass exception_class, ErrorKind io_kind, std::string message)
      : exception_class(exception_class), io_kind(io_kind), message(std::move(message)) {}
  // An I/O error becomes an OSError of its kind carrying its text, so FENDRAL_TRY passes an
  // IoResult's error on from a function that returns a Result.
  template <DescribedIoError Error>
  Failure(const Error& error) : Failure(ExceptionClass::OSError, error.kind(), error.text()) {}

  static Failure runtime_error(std::string message) {
    return {ExceptionClass::RuntimeError, ErrorKind::Other, std::move(message)};
  }
  static Failure value_error(std::string message) {
    return {ExceptionClass::ValueError, ErrorKind::Other, std::move(message)};
  }
  static Failure memory_error(std::string message) {
    return {ExceptionClass::MemoryError, ErrorKind::Other, std::move(message)};
  }
  Failure caused_by(int code, std::string path) && {
    cause = OsCause{code, std::move(path)};
    return std::move(*this);
  }
};

template <class T>
using Result = expected<T, Failure>;

inline unexpected<Failure> fail(Failure failure) {
  return unexpected(std::move(failure));
}
inline unexpected<Failure> runtime_failure(std::string message) {
  return fail(Failure::runtime_error(std::move(message)));
}

// Context added where an error is passed on: a callable for transform_error that makes a
// RuntimeError of `context` followed by the error's text (an I/O error's, or a message's).
//
//   FENDRAL_TRY(auto file, posix::open_regular_file(path).transform_error(
//                              as_runtime_error("Failed to read " + path + ": ")));
inline auto as_runtime_error(std::string context) {
  return [context = std::move(context)]<class Error>(const Error& error) {
    if constexpr (DescribedIoError<Error>) {
      return Failure::runtime_error(context + error.text());
    } else {
      static_assert(std::convertible_to<const Error&, std::string_view>);
      return Failure::runtime_error(context + std::string(std::string_view(error)));
    }
  };
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
