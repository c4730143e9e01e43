// What kind of I/O failure an error is: the classification every layer shares, from the errno
// values below to the exception classes the boundary raises (all of it in error_kinds.def).
#pragma once

#include <string_view>

namespace fendral {

enum class ErrorKind {
#define FENDRAL_ERROR_KIND(kind, ...) kind,
#include "base/error_kinds.def"
#undef FENDRAL_ERROR_KIND
};

// The description used as the text of an error that carries only its kind.
std::string_view describe(ErrorKind kind);

}  // namespace fendral
