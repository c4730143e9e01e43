// Owned references to Python objects.
#pragma once

#include <utility>

#include "python/common/python.hpp"

namespace fendral::python {

// Holds one strong reference and releases it on destruction.
class OwnedRef {
 public:
  OwnedRef() = default;
  // Takes over a new reference (which may be null, after a failed call).
  static OwnedRef steal(PyObject* object) { return OwnedRef(object); }
  // Adds a reference to a borrowed object.
  static OwnedRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return OwnedRef(object);
  }

  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller, who becomes responsible for it.
  [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit OwnedRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace fendral::python
