#include "base/error_kind.hpp"

namespace fendral {

std::string_view describe(ErrorKind kind) {
  switch (kind) {
#define FENDRAL_ERROR_KIND(kind, description, ...) \
  case ErrorKind::kind:                            \
    return description;
#include "base/error_kinds.def"
#undef FENDRAL_ERROR_KIND
  }
  return "uncategorized error";
}

}  // namespace fendral
