// The module fendral: its table of members and its initialisation.
#include "python/chunk_type.hpp"
#include "python/entry_points.hpp"
#include "python/module_support.hpp"

namespace fendral::python {
namespace {

constexpr int kKeywordCall = METH_VARARGS | METH_KEYWORDS;

// What the module holds, in the order of its __all__: a class, made and added by its function,
// or a function, whose definition must live as long as the process.
struct Member {
  HostResult<void> (*add_class)(PyObject* module);
  PyMethodDef function;
};

Member members[] = {
    {register_chunk_class, {}},
    {nullptr,
     {"deconstruct_file", as_method(deconstruct_file_entry), kKeywordCall,
      "deconstruct_file(path, chunk_size)\n--\n\n"}},
    {nullptr,
     {"reconstruct_file", as_method(reconstruct_file_entry), kKeywordCall,
      "reconstruct_file(chunks, output_path)\n--\n\n"}},
    {register_metadata_class, {}},
    {nullptr,
     {"split_video", as_method(split_video_entry), kKeywordCall,
      "split_video(input_file, output_dir, time_limit_sec)\n--\n\n"}},
    {nullptr,
     {"reconstruct_video", as_method(reconstruct_video_entry), kKeywordCall,
      "reconstruct_video(output_dir, output_file)\n--\n\n"}},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "fendral", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Filled by the first successful initialisation; never emptied.
PyObject* initialised_module = nullptr;

HostResult<void> add_members(PyObject* module) {
  for (Member& member : members) {
    FENDRAL_CHECK(member.add_class != nullptr ? member.add_class(module)
                                              : add_function(module, member.function));
  }
  return {};
}

}  // namespace
}  // namespace fendral::python

// Everything is built with hidden visibility, and Python 3.8's PyMODINIT_FUNC does not mark the
// init function for export (3.9's does): without this a build against 3.8's headers loads as a
// module without an init function.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_fendral();

PyMODINIT_FUNC PyInit_fendral() {
  using namespace fendral::python;
  return guarded_entry([]() -> HostResult<OwnedRef> {
    // Refused before anything is counted: a subinterpreter that tried first must not use up
    // the one initialisation the main interpreter gets.
    FENDRAL_TRY(const bool in_main, in_main_interpreter());
    if (!in_main) {
      return pending_error(PyExc_ImportError,
                           "fendral can only be imported by the main interpreter");
    }
    if (initialised_module != nullptr) {
      return pending_error(PyExc_ImportError,
                           "fendral may only be initialized once per interpreter process");
    }
    OwnedRef module = OwnedRef::steal(PyModule_Create2(&module_definition, PYTHON_ABI_VERSION));
    if (!module) return captured_error();
    // The package's version as pip shows it, for bug reports; not in __all__.
    if (PyModule_AddStringConstant(module.get(), "__version__", FENDRAL_VERSION) != 0) {
      return captured_error();
    }
    FENDRAL_CHECK(add_members(module.get()));
    // From 3.13 on, CPython runs the initialisation for a subinterpreter's import in the main
    // interpreter, on a fresh thread state with no Python code on it, and then refuses the
    // module itself. Raising there would hand the subinterpreter an exception object of the main
    // interpreter, which 3.13 frees in the wrong interpreter; so the module is made but the
    // one initialisation is left for the main interpreter's own import.
    if (python_code_running()) {
      initialised_module = OwnedRef::borrow(module.get()).release();
    }
    return module;
  });
}
