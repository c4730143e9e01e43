// Creating classes and functions and adding them to the module.
#pragma once

#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "python/common/error.hpp"

namespace fendral::python {

// Returns the class in `slot`, creating it from `spec` on first use. A failure becomes
// RuntimeError "An error occurred while initializing class <name>" caused by the original.
[[nodiscard]] HostResult<PyObject*> get_or_create_class(PyObject*& slot, PyType_Spec& spec,
                                                        std::string_view name);

// Sets module.<name> = object and appends the name to the module's __all__.
[[nodiscard]] HostResult<void> add_to_module(PyObject* module, PyObject* name, PyObject* object);

// Makes a built-in function bound to `module` from `definition` (which must live forever) and
// adds it under its own __name__.
[[nodiscard]] HostResult<void> add_function(PyObject* module, PyMethodDef& definition);

// The flags of a method table entry taking positional and keyword arguments.
constexpr int kKeywordCall = METH_VARARGS | METH_KEYWORDS;

// The method table stores every entry point as PyCFunction; the flags tell the real signature.
inline PyCFunction as_method(PyObject* (*entry)(PyObject*, PyObject*, PyObject*)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// Whether the calling interpreter is the process's main one. The stable ABI of 3.8 cannot tell,
// so the interpreter's own module for subinterpreters is asked; where it is missing, Python
// code cannot create subinterpreters either, and the answer is yes.
[[nodiscard]] HostResult<bool> in_main_interpreter();

// Whether Python code is on the calling thread's stack (every import made by Python code is).
bool python_code_running();

// What one module of the package is made of, for init_module.
struct ModuleParts {
  // The definition, which must live forever; its m_name names the module in the messages.
  PyModuleDef& definition;
  // Filled by the first successful initialisation and never emptied: the module is made once
  // per process.
  PyObject*& initialised;
  // Adds the module's members (and anything else it holds) to the new module.
  HostResult<void> (*add_members)(PyObject* module);
  // Run before the module object is made, when set: what must be in place first.
  HostResult<void> (*before_creation)() = nullptr;
};

// The body of every PyInit_<name>: refuses a subinterpreter and a second initialisation, then
// makes the module and adds its members. Never lets a C++ exception out.
PyObject* init_module(const ModuleParts& parts) noexcept;

// Construction slot of a class that cannot be instantiated from Python.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Makes an instance of `type` whose native record `Object::record`, inline after the header, is
// built from `arguments`.
template <class Object, class... Arguments>
HostResult<OwnedRef> make_instance(PyObject* type, Arguments&&... arguments) {
  auto* as_type = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(as_type, Py_tp_alloc));
  if (alloc == nullptr) throw InternalFault("a class lacks an allocation slot");
  OwnedRef instance = OwnedRef::steal(alloc(as_type, 0));
  if (!instance) return captured_error();
  new (&reinterpret_cast<Object*>(instance.get())->record) decltype(Object::record)(
      std::forward<Arguments>(arguments)...);
  return instance;
}

// Frees an instance whose native record `Object::record` lives inline after the header.
template <class Object>
void dealloc_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  try {
    std::destroy_at(&reinterpret_cast<Object*>(self)->record);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    if (free_slot == nullptr) throw InternalFault("PyBaseObject_Type should have tp_free");
    free_slot(self);
  } catch (const InternalFault& fault) {
    report_unraisable_fault(fault, nullptr);
  }
  // Heap-type instances hold a reference to their class.
  OwnedRef class_reference = OwnedRef::steal(reinterpret_cast<PyObject*>(type));
}

}  // namespace fendral::python
