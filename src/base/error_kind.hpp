// What kind of I/O failure an error is: the classification every layer shares, from the
// errno values below to the exception classes the boundary raises.
#pragma once

#include <string_view>

namespace fendral {

enum class ErrorKind {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  ConnectionAborted,
  BrokenPipe,
  AlreadyExists,
  WouldBlock,
  NotADirectory,
  IsADirectory,
  TimedOut,
  Interrupted,
  InvalidInput,
  InvalidData,
  WriteZero,
  UnexpectedEof,
  Other,
  Uncategorized,
};

// The description used as the text of an error that carries only its kind.
std::string_view describe(ErrorKind kind);

}  // namespace fendral
