// Conversion rules from Python arguments to native values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "posix/buffer.hpp"
#include "python/common/error.hpp"

namespace fendral::python {

// "'<type qualname>' object cannot be converted to '<target>'" as a pending TypeError.
ErrorValue type_mismatch(PyObject* object, std::string_view target);

// A str (or subclass) as UTF-8 bytes.
[[nodiscard]] HostResult<std::string> to_string(PyObject* object);

// A str, bytes or os.PathLike as the bytes of a path: a str encoded as the file system's names
// are (undecodable bytes it carries as surrogates come back as they were).
HostResult<std::string> to_path(PyObject* object);

// A str, or an os.PathLike whose __fspath__ gives one, as UTF-8 bytes; anything else is refused
// as to_string refuses it.
[[nodiscard]] HostResult<std::string> to_text_path(PyObject* object);

// An int, or anything with __index__, from 0 to 2**64 - 1.
[[nodiscard]] HostResult<std::uint64_t> to_u64(PyObject* object);

// As to_u64, at most 4294967295.
[[nodiscard]] HostResult<std::uint32_t> to_u32(PyObject* object);

// A sequence of ints from 0 to 255 (bytes, bytearray, list, tuple, ...), never a str.
[[nodiscard]] HostResult<posix::ByteBuffer> to_byte_buffer(PyObject* object);

// None gives nothing; anything else goes through `rule`.
template <class Rule>
auto optional_of(PyObject* object, Rule rule)
    -> HostResult<std::optional<typename decltype(rule(object))::value_type>> {
  if (object == Py_None) return std::nullopt;
  FENDRAL_TRY(auto value, rule(object));
  return std::optional(std::move(value));
}

// Checks the shape of a sequence argument before it is iterated: a str is refused, and so is
// anything that is no sequence. Returns a length hint for the first allocation: 0 when the
// length is unknown, and never more than a bounded number of items, since __len__ may lie.
[[nodiscard]] HostResult<std::size_t> check_sequence(PyObject* object);

// Iterates `object` (already accepted by check_sequence), handing each item to `visit`, which
// returns HostResult<void>. The first failure ends the walk.
template <class Visit>
[[nodiscard]] HostResult<void> for_each_item(PyObject* object, Visit&& visit) {
  OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(object));
  if (!iterator) return captured_error();
  for (;;) {
    OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()));
    if (!item) {
      if (PyErr_Occurred()) return captured_error();
      return {};
    }
    FENDRAL_CHECK(visit(item.get()));
  }
}

}  // namespace fendral::python
