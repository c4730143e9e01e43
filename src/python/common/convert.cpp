#include "python/common/convert.hpp"

#include <algorithm>
#include <limits>

namespace fendral::python {
namespace {

constexpr std::string_view kOutOfRange = "out of range integral type conversion attempted";

std::string qualified_type_name(PyObject* object) {
  OwnedRef name = OwnedRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    if (auto text = text_of(name.get())) return std::move(*text);
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

HostResult<std::uint64_t> read_unsigned(PyObject* integer) {
  unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  if (value == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred()) {
    return captured_error();
  }
  return static_cast<std::uint64_t>(value);
}

// The bytes of a bytes object.
HostResult<std::string> bytes_content(PyObject* bytes) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) != 0) return captured_error();
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

ErrorValue type_mismatch(PyObject* object, std::string_view target) {
  std::string message = "'";
  message += qualified_type_name(object);
  message += "' object cannot be converted to '";
  message += target;
  message += "'";
  return ErrorValue::pending(PyExc_TypeError, std::move(message));
}

HostResult<std::string> to_string(PyObject* object) {
  if (!PyUnicode_Check(object)) return unexpected(type_mismatch(object, "PyString"));
  OwnedRef utf8 = OwnedRef::steal(PyUnicode_AsUTF8String(object));
  if (!utf8) return captured_error();
  return bytes_content(utf8.get());
}

HostResult<std::string> to_path(PyObject* object) {
  OwnedRef path = OwnedRef::steal(PyOS_FSPath(object));
  if (!path) return captured_error();
  OwnedRef encoded = PyUnicode_Check(path.get())
                         ? OwnedRef::steal(PyUnicode_EncodeFSDefault(path.get()))
                         : OwnedRef::borrow(path.get());
  if (!encoded) return captured_error();
  return bytes_content(encoded.get());
}

HostResult<std::string> to_text_path(PyObject* object) {
  // Anything but a path is refused as a str argument is.
  if (PyUnicode_Check(object) || !PyObject_HasAttrString(object, "__fspath__")) {
    return to_string(object);
  }
  OwnedRef path = OwnedRef::steal(PyOS_FSPath(object));
  if (!path) return captured_error();
  if (!PyUnicode_Check(path.get())) return unexpected(type_mismatch(path.get(), "PyString"));
  return to_string(path.get());
}

HostResult<std::uint64_t> to_u64(PyObject* object) {
  if (PyLong_Check(object)) return read_unsigned(object);
  OwnedRef index = OwnedRef::steal(PyNumber_Index(object));
  if (!index) return captured_error();
  return read_unsigned(index.get());
}

HostResult<std::uint32_t> to_u32(PyObject* object) {
  FENDRAL_TRY(auto value, to_u64(object));
  if (value > std::numeric_limits<std::uint32_t>::max()) {
    return pending_error(PyExc_OverflowError, std::string(kOutOfRange));
  }
  return static_cast<std::uint32_t>(value);
}

HostResult<std::size_t> check_sequence(PyObject* object) {
  if (PyUnicode_Check(object))
    return pending_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) return unexpected(type_mismatch(object, "Sequence"));
  Py_ssize_t length = PySequence_Size(object);
  if (length < 0) {
    PyErr_Clear();
    return 0;
  }
  // Growth past the hint is geometric anyway; this only bounds what a lying __len__ can reserve.
  constexpr std::size_t kLargestTrustedHint = std::size_t{1} << 20;
  return std::min(static_cast<std::size_t>(length), kLargestTrustedHint);
}

HostResult<posix::ByteBuffer> to_byte_buffer(PyObject* object) {
  // bytes and bytearray iterate to exactly their bytes: copy them in one step.
  if (PyBytes_CheckExact(object)) {
    return posix::ByteBuffer(PyBytes_AsString(object),
                             static_cast<std::size_t>(PyBytes_Size(object)));
  }
  if (PyByteArray_CheckExact(object)) {
    return posix::ByteBuffer(PyByteArray_AsString(object),
                             static_cast<std::size_t>(PyByteArray_Size(object)));
  }
  FENDRAL_TRY(auto hint, check_sequence(object));

  posix::ByteBuffer bytes(hint);
  std::size_t used = 0;
  auto walked = for_each_item(object, [&](PyObject* item) -> HostResult<void> {
    long value = PyLong_AsLong(item);
    if (value == -1 && PyErr_Occurred()) return captured_error();
    if (value < 0 || value > 255)
      return pending_error(PyExc_OverflowError, std::string(kOutOfRange));
    if (used == bytes.size()) bytes.resize(used < 16 ? 16 : used * 2);
    bytes.data()[used++] = static_cast<unsigned char>(value);
    return {};
  });
  if (!walked) return unexpected(std::move(walked.error()));
  bytes.resize(used);
  return bytes;
}

}  // namespace fendral::python
