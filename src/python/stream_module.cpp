// The module fendral_stream: files larger than memory, read chunk by chunk and written back in
// any order. It makes and takes fendral's own Chunk class, so it imports fendral first.
#include "python/chunk_type.hpp"
#include "python/manifest_type.hpp"
#include "python/module_support.hpp"
#include "python/stream_entry.hpp"

namespace fendral::python {
namespace {

PyMethodDef read_chunks_definition = {"read_chunks", as_method(read_chunks_entry),
                                      METH_VARARGS | METH_KEYWORDS,
                                      "read_chunks(path, chunk_size)\n--\n\n"};

PyModuleDef stream_module_definition = {
    PyModuleDef_HEAD_INIT, "fendral_stream", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Filled by the first successful initialisation; never emptied.
PyObject* initialised_stream_module = nullptr;

}  // namespace
}  // namespace fendral::python

// Exported by name, as PyInit_fendral is: Python 3.8's PyMODINIT_FUNC does not export it.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_fendral_stream();

PyMODINIT_FUNC PyInit_fendral_stream() {
  using namespace fendral::python;
  return guarded_entry([]() -> HostResult<OwnedRef> {
    FENDRAL_TRY(const bool in_main, in_main_interpreter());
    if (!in_main) {
      return pending_error(PyExc_ImportError,
                           "fendral_stream can only be imported by the main interpreter");
    }
    if (initialised_stream_module != nullptr) {
      return pending_error(PyExc_ImportError,
                           "fendral_stream may only be initialized once per interpreter process");
    }
    FENDRAL_CHECK(adopt_chunk_class());
    OwnedRef module =
        OwnedRef::steal(PyModule_Create2(&stream_module_definition, PYTHON_ABI_VERSION));
    if (!module) return captured_error();
    FENDRAL_CHECK(add_function(module.get(), read_chunks_definition));
    FENDRAL_CHECK(register_writer_class(module.get()));
    FENDRAL_CHECK(register_manifest_class(module.get()));
    // As for fendral: an initialisation that 3.13 runs for a subinterpreter leaves the one
    // initialisation to the main interpreter's own import.
    if (python_code_running()) {
      initialised_stream_module = OwnedRef::borrow(module.get()).release();
    }
    return module;
  });
}
