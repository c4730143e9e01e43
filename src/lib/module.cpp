// The module fendral: its initialisation and the entry points of the file functions.
#include <array>
#include <string_view>

#include "host/binding.hpp"
#include "host/convert.hpp"
#include "host/module_support.hpp"
#include "host/unlocked.hpp"
#include "lib/chunk_type.hpp"
#include "lib/file_chunking.hpp"
#include "mp4/video_entry.hpp"

namespace fendral::lib {
namespace {

using host::raise_and_return_null;

PyObject* deconstruct_file_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return host::guarded_entry([&]() -> PyObject* {
    static constexpr std::array<std::string_view, 2> kParameters{"path", "chunk_size"};
    auto bound = host::bind_arguments("deconstruct_file()", kParameters, args, kwargs);
    if (!bound) return raise_and_return_null(std::move(bound.error()));
    auto path = host::convert_argument((*bound)[0], "path", host::to_string);
    if (!path) return raise_and_return_null(std::move(path.error()));
    auto chunk_size = host::convert_argument((*bound)[1], "chunk_size", host::to_u64);
    if (!chunk_size) return raise_and_return_null(std::move(chunk_size.error()));

    auto records = host::run_unlocked([&] { return deconstruct_file(*path, *chunk_size); });
    if (!records) return raise_and_return_null(std::move(records.error()));
    auto list = chunks_to_list(std::move(*records));
    if (!list) return raise_and_return_null(std::move(list.error()));
    return list->release();
  });
}

PyObject* reconstruct_file_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return host::guarded_entry([&]() -> PyObject* {
    static constexpr std::array<std::string_view, 2> kParameters{"chunks", "output_path"};
    auto bound = host::bind_arguments("reconstruct_file()", kParameters, args, kwargs);
    if (!bound) return raise_and_return_null(std::move(bound.error()));
    auto chunks = host::convert_argument((*bound)[0], "chunks", to_chunk_pieces);
    if (!chunks) return raise_and_return_null(std::move(chunks.error()));
    auto output_path = host::convert_argument((*bound)[1], "output_path", host::to_string);
    if (!output_path) return raise_and_return_null(std::move(output_path.error()));

    // `chunks` holds its Chunk objects until the call returns, so their payloads stay valid
    // while they are written without the lock.
    auto written =
        host::run_unlocked([&] { return reconstruct_file(chunks->pieces, *output_path); });
    if (!written) return raise_and_return_null(std::move(written.error()));
    Py_RETURN_NONE;
  });
}

PyMethodDef deconstruct_file_definition = {
    "deconstruct_file", host::as_method(deconstruct_file_entry), METH_VARARGS | METH_KEYWORDS,
    "deconstruct_file(path, chunk_size)\n--\n\n"};
PyMethodDef reconstruct_file_definition = {
    "reconstruct_file", host::as_method(reconstruct_file_entry), METH_VARARGS | METH_KEYWORDS,
    "reconstruct_file(chunks, output_path)\n--\n\n"};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "fendral", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Filled by the first successful initialisation; never emptied.
PyObject* initialised_module = nullptr;

host::HostResult<void> register_everything(PyObject* module) {
  if (auto done = register_chunk_class(module); !done) return done;
  if (auto done = host::add_function(module, deconstruct_file_definition); !done) return done;
  if (auto done = host::add_function(module, reconstruct_file_definition); !done) return done;
  return mp4::register_video(module);
}

}  // namespace
}  // namespace fendral::lib

// Everything is built with hidden visibility, and Python 3.8's PyMODINIT_FUNC does not mark the
// init function for export (3.9's does): without this a build against 3.8's headers loads as a
// module without an init function.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_fendral();

PyMODINIT_FUNC PyInit_fendral() {
  using namespace fendral;
  return host::guarded_entry([]() -> PyObject* {
    // Refused before anything is counted: a subinterpreter that tried first must not use up
    // the one initialisation the main interpreter gets.
    auto in_main = host::in_main_interpreter();
    if (!in_main) return host::raise_and_return_null(std::move(in_main.error()));
    if (!*in_main) {
      return host::raise_and_return_null(host::ErrorValue::pending(
          PyExc_ImportError, "fendral can only be imported by the main interpreter"));
    }
    if (lib::initialised_module != nullptr) {
      return host::raise_and_return_null(host::ErrorValue::pending(
          PyExc_ImportError, "fendral may only be initialized once per interpreter process"));
    }
    host::OwnedRef module =
        host::OwnedRef::steal(PyModule_Create2(&lib::module_definition, PYTHON_ABI_VERSION));
    if (!module) return nullptr;
    if (auto registered = lib::register_everything(module.get()); !registered) {
      return host::raise_and_return_null(std::move(registered.error()));
    }
    // From 3.13 on, CPython runs the initialisation for a subinterpreter's import in the main
    // interpreter, on a fresh thread state with no Python code on it, and then refuses the
    // module itself. Raising there would hand the subinterpreter an exception object of the main
    // interpreter, which 3.13 frees in the wrong interpreter; so the module is made but the
    // one initialisation is left for the main interpreter's own import.
    if (host::python_code_running()) {
      lib::initialised_module = host::OwnedRef::borrow(module.get()).release();
    }
    return module.release();
  });
}
