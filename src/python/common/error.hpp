// Error values: how a failure travels inside the module until the boundary raises it.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

#include "base/expected.hpp"
#include "base/failure.hpp"
#include "base/propagate.hpp"
#include "python/common/python.hpp"
#include "python/common/ref.hpp"

namespace fendral::python {

// The exception the interpreter raised, taken out of its error indicator as the three references
// the stable ABI of 3.8 hands out; put back by restore().
struct FetchedError {
  OwnedRef type;
  OwnedRef value;
  OwnedRef traceback;

  // Empties the error indicator; all three are null when nothing was raised.
  static FetchedError fetch();
  // Makes `value` an instance of `type`, as the interpreter would before handing it to Python.
  void normalize();
  // Sets the error indicator from the three references. Consumes them.
  void restore() &&;
};

// A new instance of `exception_class` with `message` as its one argument; null, with the
// interpreter's error set, when it cannot be made.
OwnedRef new_exception(PyObject* exception_class, std::string_view message);

// Either pending (a class and a message, not yet a Python object) or captured (an exception
// the interpreter already raised, fetched out of its error indicator).
class ErrorValue {
 public:
  // `exception_class` must outlive the value (the built-in classes do).
  static ErrorValue pending(PyObject* exception_class, std::string message) {
    return ErrorValue(exception_class, std::move(message));
  }
  static ErrorValue from_failure(const Failure& failure);
  // Takes the interpreter's current exception after a host call reported failure.
  static ErrorValue capture();

  // True when the value's class is exactly `exception_class` (no subclass test).
  bool has_exact_class(PyObject* exception_class) const;

  // For a TypeError raised while converting the parameter `name`: the same error, its text
  // prefixed with "argument 'name': ". Other classes pass unchanged.
  ErrorValue named_argument(std::string_view name) &&;

  // Sets the interpreter's error indicator from the value. Consumes it.
  void raise() &&;

 private:
  ErrorValue(PyObject* pending_class, std::string message)
      : pending_class_(pending_class), message_(std::move(message)) {}
  explicit ErrorValue(FetchedError captured) : captured_(std::move(captured)) {}

  // Pending form.
  PyObject* pending_class_ = nullptr;
  std::string message_;
  std::optional<OsCause> cause_;
  // Captured form, when its type is set.
  FetchedError captured_;
};

template <class T>
using HostResult = expected<T, ErrorValue>;

inline unexpected<ErrorValue> pending_error(PyObject* exception_class, std::string message) {
  return unexpected(ErrorValue::pending(exception_class, std::move(message)));
}
inline unexpected<ErrorValue> captured_error() {
  return unexpected(ErrorValue::capture());
}

// str(object) as UTF-8, lone surrogates passed through; nothing, with the interpreter's error
// set, when it cannot be made.
std::optional<std::string> text_of(PyObject* object);

// The host class for a failure of a native operation.
PyObject* exception_class_for(const Failure& failure);

// A Python object made from the module's own data could not be made: prints the interpreter's
// error and throws InternalFault("Python API call failed").
[[noreturn]] void api_call_failed();

// Returns `object` or, when it is null, fails as above.
inline PyObject* expect_object(PyObject* object) {
  if (object == nullptr) api_call_failed();
  return object;
}

inline constexpr std::string_view kUnknownFault = "fendral's native code failed";

// Raises PanicException for an internal fault that reached an entry point, after writing a
// diagnostic to standard error.
void raise_internal_fault(std::string_view message, const std::source_location& where) noexcept;

// Reports an internal fault that happened where nothing can be raised (deallocation).
void report_unraisable_fault(const InternalFault& fault, PyObject* context) noexcept;

// The body of every entry point runs here, so that a failure is raised in one place and no C++
// exception ever reaches the interpreter. `body` returns HostResult<OwnedRef> (the new reference
// handed back), HostResult<void> (None is handed back), or a plain PyObject* (a new reference,
// or null with the interpreter's error set).
template <class Body>
PyObject* guarded_entry(Body&& body) noexcept {
  try {
    auto outcome = body();
    if constexpr (std::is_same_v<decltype(outcome), PyObject*>) {
      return outcome;
    } else if (!outcome) {
      std::move(outcome).error().raise();
    } else if constexpr (std::is_void_v<typename decltype(outcome)::value_type>) {
      return OwnedRef::borrow(Py_None).release();
    } else {
      return outcome->release();
    }
  } catch (const InternalFault& fault) {
    raise_internal_fault(fault.what(), fault.where());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A size beyond what any allocation can hold: out of memory too.
    PyErr_NoMemory();
  } catch (const std::exception& fault) {
    raise_internal_fault(fault.what(), std::source_location::current());
  } catch (...) {
    raise_internal_fault(kUnknownFault, std::source_location::current());
  }
  return nullptr;
}

}  // namespace fendral::python
