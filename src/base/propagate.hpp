// The one way a failure travels up: a result that holds an error is returned at once, its error
// moved into the caller's result, which must have the same error type.
//
//   FENDRAL_TRY(auto file, open_file(path));  // declares `file` from the value
//   FENDRAL_CHECK(write_all(fd, data));       // a result without a value
#pragma once

#include <utility>

#include "base/expected.hpp"

#define FENDRAL_CHECK(expression)                                        \
  do {                                                                   \
    if (auto fendral_outcome_ = (expression); !fendral_outcome_) {       \
      return ::fendral::unexpected(std::move(fendral_outcome_).error()); \
    }                                                                    \
  } while (false)

#define FENDRAL_TRY(declaration, expression) \
  FENDRAL_TRY_WITH(FENDRAL_OUTCOME_NAME(__LINE__), declaration, expression)

#define FENDRAL_TRY_WITH(outcome, declaration, expression)    \
  auto outcome = (expression);                                \
  if (!outcome) {                                             \
    return ::fendral::unexpected(std::move(outcome).error()); \
  }                                                           \
  declaration = std::move(*outcome)

#define FENDRAL_OUTCOME_NAME(line) FENDRAL_OUTCOME_NAME_AT(line)
#define FENDRAL_OUTCOME_NAME_AT(line) fendral_outcome_##line
