#include "python/common/error.hpp"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>

namespace fendral::python {
namespace {

constexpr const char kPanicDoc[] =
    "Raised when fendral's native code fails internally.\n\n"
    "Like SystemExit, this exception derives from BaseException, so it will typically propagate\n"
    "all the way through the stack and cause the interpreter to exit.";

[[noreturn]] void abort_at_boundary() {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

// Created on first use and kept for the life of the process.
PyObject* panic_exception_class() {
  static PyObject* panic_class = nullptr;
  if (panic_class == nullptr) {
    panic_class = PyErr_NewExceptionWithDoc("fendral_runtime.PanicException", kPanicDoc,
                                            PyExc_BaseException, nullptr);
    if (panic_class == nullptr) {
      PyErr_Print();
      std::fputs("Failed to initialize new exception type.\n", stderr);
      abort_at_boundary();
    }
  }
  return panic_class;
}

// Messages may quote what the caller passed (a keyword name, an exception's text), lone
// surrogates included; they travel as UTF-8 with surrogates passed through and come back whole.
PyObject* message_object(std::string_view message) {
  return PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                              "surrogatepass");
}

// The source file's own name: the directories above it are those of the machine that built it.
std::string_view source_file_name(const std::source_location& where) {
  const std::string_view path = where.file_name();
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

void write_fault_diagnostic(std::string_view message, const std::source_location& where) {
  char thread_name[32] = "<unnamed>";
  pthread_getname_np(pthread_self(), thread_name, sizeof thread_name);
  const std::string_view file = source_file_name(where);
  std::fprintf(stderr, "fendral: internal fault on thread '%s' at %.*s:%u: %.*s\n", thread_name,
               static_cast<int>(file.size()), file.data(), static_cast<unsigned>(where.line()),
               static_cast<int>(message.size()), message.data());
}

// OSError(errno, strerror, filename): the constructor picks the subclass of the errno value, as
// for the exceptions Python's own file functions raise.
OwnedRef os_error(const OsCause& cause) {
  OwnedRef os_module = OwnedRef::steal(PyImport_ImportModule("os"));
  if (!os_module) return {};
  OwnedRef text =
      OwnedRef::steal(PyObject_CallMethod(os_module.get(), "strerror", "i", cause.code));
  OwnedRef path = OwnedRef::steal(PyUnicode_DecodeFSDefaultAndSize(
      cause.path.data(), static_cast<Py_ssize_t>(cause.path.size())));
  if (!text || !path) return {};
  return OwnedRef::steal(
      PyObject_CallFunction(PyExc_OSError, "iOO", cause.code, text.get(), path.get()));
}

}  // namespace

std::optional<std::string> text_of(PyObject* object) {
  OwnedRef text = OwnedRef::steal(PyObject_Str(object));
  if (!text) return std::nullopt;
  OwnedRef utf8 = OwnedRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  if (!utf8) return std::nullopt;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(utf8.get(), &data, &size) != 0) return std::nullopt;
  return std::string(data, static_cast<std::size_t>(size));
}

PyObject* exception_class_for(const Failure& failure) {
  switch (failure.exception_class) {
    case ExceptionClass::RuntimeError:
      return PyExc_RuntimeError;
    case ExceptionClass::ValueError:
      return PyExc_ValueError;
    case ExceptionClass::MemoryError:
      return PyExc_MemoryError;
    case ExceptionClass::OSError:
      break;
  }
  switch (failure.io_kind) {
#define FENDRAL_ERROR_KIND(kind, exception_class, ...) \
  case ErrorKind::kind:                                \
    return PyExc_##exception_class;
#include "base/error_kinds.def"
#undef FENDRAL_ERROR_KIND
  }
  return PyExc_OSError;
}

ErrorValue ErrorValue::from_failure(const Failure& failure) {
  ErrorValue value = pending(exception_class_for(failure), failure.message);
  value.cause_ = failure.cause;
  return value;
}

FetchedError FetchedError::fetch() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  return {OwnedRef::steal(type), OwnedRef::steal(value), OwnedRef::steal(traceback)};
}

void FetchedError::normalize() {
  PyObject* raw_type = type.release();
  PyObject* raw_value = value.release();
  PyObject* raw_traceback = traceback.release();
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
  type = OwnedRef::steal(raw_type);
  value = OwnedRef::steal(raw_value);
  traceback = OwnedRef::steal(raw_traceback);
}

void FetchedError::restore() && {
  PyErr_Restore(type.release(), value.release(), traceback.release());
}

OwnedRef new_exception(PyObject* exception_class, std::string_view message) {
  OwnedRef text = OwnedRef::steal(expect_object(message_object(message)));
  return OwnedRef::steal(PyObject_CallFunctionObjArgs(exception_class, text.get(), nullptr));
}

ErrorValue ErrorValue::capture() {
  FetchedError fetched = FetchedError::fetch();
  if (!fetched.type) {
    return pending(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  if (fetched.type.get() == panic_exception_class()) {
    // One of our own faults came back through Python code: resume it as a fault.
    std::fputs(
        "fendral: an internal fault came back through Python code and is being resumed.\n"
        "fendral: Python's stack trace follows.\n",
        stderr);
    std::optional<std::string> text;
    if (fetched.value) text = text_of(fetched.value.get());
    std::move(fetched).restore();
    PyErr_PrintEx(0);
    throw InternalFault(text.value_or("an internal fault of unknown text was resumed"));
  }
  return ErrorValue(std::move(fetched));
}

bool ErrorValue::has_exact_class(PyObject* exception_class) const {
  return (captured_.type ? captured_.type.get() : pending_class_) == exception_class;
}

ErrorValue ErrorValue::named_argument(std::string_view name) && {
  if (!has_exact_class(PyExc_TypeError)) return std::move(*this);
  std::string prefix = "argument '";
  prefix += name;
  prefix += "': ";
  if (!captured_.type) return pending(PyExc_TypeError, prefix + message_);

  // A TypeError from Python itself: complete it to read its text and cause.
  FetchedError original = std::move(captured_);
  original.normalize();
  std::optional<std::string> text = text_of(original.value.get());
  if (!text) return capture();
  OwnedRef replacement = new_exception(PyExc_TypeError, prefix + *text);
  if (!replacement) return capture();
  // The original's cause, or none; PyException_SetCause steals the reference it is given.
  PyException_SetCause(replacement.get(), PyException_GetCause(original.value.get()));
  return ErrorValue(FetchedError{OwnedRef::borrow(PyExc_TypeError), std::move(replacement), {}});
}

void ErrorValue::raise() && {
  if (captured_.type) {
    std::move(captured_).restore();
    return;
  }
  if (!cause_) {
    OwnedRef message = OwnedRef::steal(expect_object(message_object(message_)));
    PyErr_SetObject(pending_class_, message.get());
    return;
  }
  OwnedRef error = new_exception(pending_class_, message_);
  OwnedRef cause = os_error(*cause_);
  if (!error || !cause) return;  // the interpreter's error is set
  // PyException_SetCause steals the reference it is given.
  PyException_SetCause(error.get(), cause.release());
  PyErr_SetObject(pending_class_, error.get());
}

void api_call_failed() {
  PyErr_Print();
  throw InternalFault("Python API call failed");
}

void raise_internal_fault(std::string_view message, const std::source_location& where) noexcept {
  try {
    write_fault_diagnostic(message, where);
    PyObject* panic_class = panic_exception_class();
    OwnedRef text = OwnedRef::steal(message_object(message));
    if (!text) abort_at_boundary();
    PyErr_SetObject(panic_class, text.get());
  } catch (...) {
    abort_at_boundary();
  }
}

void report_unraisable_fault(const InternalFault& fault, PyObject* context) noexcept {
  raise_internal_fault(fault.what(), fault.where());
  PyErr_WriteUnraisable(context);
}

}  // namespace fendral::python
