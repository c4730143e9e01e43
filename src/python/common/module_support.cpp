#include "python/common/module_support.hpp"

#include <string>

#include "python/common/convert.hpp"

namespace fendral::python {

HostResult<PyObject*> get_or_create_class(PyObject*& slot, PyType_Spec& spec,
                                          std::string_view name) {
  if (slot != nullptr) return slot;
  PyObject* created = PyType_FromSpec(&spec);
  if (created == nullptr) {
    // The original failure becomes the cause of the RuntimeError.
    FetchedError original = FetchedError::fetch();
    original.normalize();
    std::string message = "An error occurred while initializing class ";
    message += name;
    OwnedRef error = new_exception(PyExc_RuntimeError, message);
    if (!error) return captured_error();
    if (original.value) PyException_SetCause(error.get(), original.value.release());
    PyErr_SetObject(PyExc_RuntimeError, error.get());
    return captured_error();
  }
  slot = created;
  return slot;
}

HostResult<void> add_to_module(PyObject* module, PyObject* name, PyObject* object) {
  OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return captured_error();
    PyErr_Clear();
    all = OwnedRef::steal(PyList_New(0));
    if (!all) return captured_error();
    if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) return captured_error();
  } else if (!PyList_Check(all.get())) {
    return unexpected(type_mismatch(all.get(), "PyList"));
  }
  if (PyList_Append(all.get(), name) != 0) {
    PyErr_Clear();
    throw InternalFault("could not append __name__ to __all__");
  }
  if (PyObject_SetAttr(module, name, object) != 0) return captured_error();
  return {};
}

HostResult<void> add_function(PyObject* module, PyMethodDef& definition) {
  OwnedRef module_name = OwnedRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return captured_error();
  OwnedRef function = OwnedRef::steal(PyCFunction_NewEx(&definition, module, module_name.get()));
  if (!function) return captured_error();
  OwnedRef name = OwnedRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return captured_error();
  if (!PyUnicode_Check(name.get())) return unexpected(type_mismatch(name.get(), "PyString"));
  return add_to_module(module, name.get(), function.get());
}

namespace {

// An interpreter's identity as the subinterpreter module reports it: an id, or (3.13 on) a
// tuple whose first item is the id.
HostResult<OwnedRef> interpreter_id(PyObject* interpreters, const char* getter) {
  OwnedRef reported = OwnedRef::steal(PyObject_CallMethod(interpreters, getter, nullptr));
  if (!reported) return captured_error();
  if (!PyTuple_Check(reported.get())) return reported;
  if (PyTuple_Size(reported.get()) < 1) return unexpected(type_mismatch(reported.get(), "id"));
  return OwnedRef::borrow(PyTuple_GetItem(reported.get(), 0));
}

}  // namespace

HostResult<bool> in_main_interpreter() {
  OwnedRef interpreters;
  for (const char* name : {"_interpreters", "_xxsubinterpreters"}) {
    interpreters = OwnedRef::steal(PyImport_ImportModule(name));
    if (interpreters) break;
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return captured_error();
    PyErr_Clear();
  }
  if (!interpreters) return true;
  FENDRAL_TRY(auto current, interpreter_id(interpreters.get(), "get_current"));
  FENDRAL_TRY(auto main, interpreter_id(interpreters.get(), "get_main"));
  const int same = PyObject_RichCompareBool(current.get(), main.get(), Py_EQ);
  if (same < 0) return captured_error();
  return same == 1;
}

bool python_code_running() {
  return PyEval_GetFrame() != nullptr;
}

PyObject* init_module(const ModuleParts& parts) noexcept {
  return guarded_entry([&]() -> HostResult<OwnedRef> {
    const std::string name = parts.definition.m_name;
    // Refused before anything is counted: a subinterpreter that tried first must not use up
    // the one initialisation the main interpreter gets.
    FENDRAL_TRY(const bool in_main, in_main_interpreter());
    if (!in_main) {
      return pending_error(PyExc_ImportError,
                           name + " can only be imported by the main interpreter");
    }
    if (parts.initialised != nullptr) {
      return pending_error(PyExc_ImportError,
                           name + " may only be initialized once per interpreter process");
    }
    if (parts.before_creation != nullptr) FENDRAL_CHECK(parts.before_creation());
    OwnedRef module = OwnedRef::steal(PyModule_Create2(&parts.definition, PYTHON_ABI_VERSION));
    if (!module) return captured_error();
    FENDRAL_CHECK(parts.add_members(module.get()));
    // From 3.13 on, CPython runs the initialisation for a subinterpreter's import in the main
    // interpreter, on a fresh thread state with no Python code on it, and then refuses the
    // module itself. Raising there would hand the subinterpreter an exception object of the main
    // interpreter, which 3.13 frees in the wrong interpreter; so the module is made but the
    // one initialisation is left for the main interpreter's own import.
    if (python_code_running()) parts.initialised = OwnedRef::borrow(module.get()).release();
    return module;
  });
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  return guarded_entry([&] {
    std::string message = "No constructor defined for ";
    OwnedRef name =
        OwnedRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
    std::optional<std::string> text;
    if (name && PyUnicode_Check(name.get())) {
      if (auto converted = to_string(name.get())) text = std::move(*converted);
    }
    PyErr_Clear();
    message += text.value_or("<unknown>");
    return HostResult<OwnedRef>(pending_error(PyExc_TypeError, std::move(message)));
  });
}

}  // namespace fendral::python
