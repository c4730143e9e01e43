// The module fendral_video: cutting a video to fit a service's limits on time and size.
#include "python/fit_entry.hpp"
#include "python/module_support.hpp"

namespace fendral::python {
namespace {

PyMethodDef split_to_fit_definition = {
    "split_to_fit", as_method(split_to_fit_entry), METH_VARARGS | METH_KEYWORDS,
    "split_to_fit(input_file, output_dir, *, max_seconds=None, max_bytes=None, progress=None)\n"
    "--\n\n"};

PyModuleDef video_module_definition = {
    PyModuleDef_HEAD_INIT, "fendral_video", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Filled by the first successful initialisation; never emptied.
PyObject* initialised_video_module = nullptr;

}  // namespace
}  // namespace fendral::python

// Exported by name, as PyInit_fendral is: Python 3.8's PyMODINIT_FUNC does not export it.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_fendral_video();

PyMODINIT_FUNC PyInit_fendral_video() {
  using namespace fendral::python;
  return guarded_entry([]() -> HostResult<OwnedRef> {
    FENDRAL_TRY(const bool in_main, in_main_interpreter());
    if (!in_main) {
      return pending_error(PyExc_ImportError,
                           "fendral_video can only be imported by the main interpreter");
    }
    if (initialised_video_module != nullptr) {
      return pending_error(PyExc_ImportError,
                           "fendral_video may only be initialized once per interpreter process");
    }
    OwnedRef module =
        OwnedRef::steal(PyModule_Create2(&video_module_definition, PYTHON_ABI_VERSION));
    if (!module) return captured_error();
    FENDRAL_CHECK(add_function(module.get(), split_to_fit_definition));
    FENDRAL_CHECK(register_segment_class(module.get()));
    // As for fendral: an initialisation that 3.13 runs for a subinterpreter leaves the one
    // initialisation to the main interpreter's own import.
    if (python_code_running()) {
      initialised_video_module = OwnedRef::borrow(module.get()).release();
    }
    return module;
  });
}
