// What kind of I/O failure an error is: the classification every layer shares, from the errno
// values below to the exception classes the boundary raises (all of it in error_kinds.def).
#pragma once

namespace fendral {

enum class ErrorKind {
#define FENDRAL_ERROR_KIND(kind, ...) kind,
#include "base/error_kinds.def"
#undef FENDRAL_ERROR_KIND
};

}  // namespace fendral
