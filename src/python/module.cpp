// The module fendral: its initialisation and the entry points of the file functions.
#include <array>
#include <string_view>

#include "chunking/file_chunking.hpp"
#include "python/binding.hpp"
#include "python/chunk_type.hpp"
#include "python/convert.hpp"
#include "python/module_support.hpp"
#include "python/unlocked.hpp"
#include "python/video_entry.hpp"

namespace fendral::python {
namespace {

PyObject* deconstruct_file_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> PyObject* {
    static constexpr std::array<std::string_view, 2> kParameters{"path", "chunk_size"};
    auto bound = bind_arguments("deconstruct_file()", kParameters, args, kwargs);
    if (!bound) return raise_and_return_null(std::move(bound.error()));
    auto path = convert_argument((*bound)[0], "path", to_string);
    if (!path) return raise_and_return_null(std::move(path.error()));
    auto chunk_size = convert_argument((*bound)[1], "chunk_size", to_u64);
    if (!chunk_size) return raise_and_return_null(std::move(chunk_size.error()));

    auto records = run_unlocked([&] { return chunking::deconstruct_file(*path, *chunk_size); });
    if (!records) return raise_and_return_null(std::move(records.error()));
    auto list = chunks_to_list(std::move(*records));
    if (!list) return raise_and_return_null(std::move(list.error()));
    return list->release();
  });
}

PyObject* reconstruct_file_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> PyObject* {
    static constexpr std::array<std::string_view, 2> kParameters{"chunks", "output_path"};
    auto bound = bind_arguments("reconstruct_file()", kParameters, args, kwargs);
    if (!bound) return raise_and_return_null(std::move(bound.error()));
    auto chunks = convert_argument((*bound)[0], "chunks", to_chunk_pieces);
    if (!chunks) return raise_and_return_null(std::move(chunks.error()));
    auto output_path = convert_argument((*bound)[1], "output_path", to_string);
    if (!output_path) return raise_and_return_null(std::move(output_path.error()));

    // `chunks` holds its Chunk objects until the call returns, so their payloads stay valid
    // while they are written without the lock.
    auto written =
        run_unlocked([&] { return chunking::reconstruct_file(chunks->pieces, *output_path); });
    if (!written) return raise_and_return_null(std::move(written.error()));
    Py_RETURN_NONE;
  });
}

PyMethodDef deconstruct_file_definition = {"deconstruct_file", as_method(deconstruct_file_entry),
                                           METH_VARARGS | METH_KEYWORDS,
                                           "deconstruct_file(path, chunk_size)\n--\n\n"};
PyMethodDef reconstruct_file_definition = {"reconstruct_file", as_method(reconstruct_file_entry),
                                           METH_VARARGS | METH_KEYWORDS,
                                           "reconstruct_file(chunks, output_path)\n--\n\n"};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "fendral", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Filled by the first successful initialisation; never emptied.
PyObject* initialised_module = nullptr;

HostResult<void> register_everything(PyObject* module) {
  if (auto done = register_chunk_class(module); !done) return done;
  if (auto done = add_function(module, deconstruct_file_definition); !done) return done;
  if (auto done = add_function(module, reconstruct_file_definition); !done) return done;
  return register_video(module);
}

}  // namespace
}  // namespace fendral::python

PyMODINIT_FUNC PyInit_fendral() {
  using namespace fendral::python;
  return guarded_entry([]() -> PyObject* {
    // Refused before anything is counted: a subinterpreter that tried first must not use up
    // the one initialisation the main interpreter gets.
    auto in_main = in_main_interpreter();
    if (!in_main) return raise_and_return_null(std::move(in_main.error()));
    if (!*in_main) {
      return raise_and_return_null(ErrorValue::pending(
          PyExc_ImportError, "fendral can only be imported by the main interpreter"));
    }
    if (initialised_module != nullptr) {
      return raise_and_return_null(ErrorValue::pending(
          PyExc_ImportError, "fendral may only be initialized once per interpreter process"));
    }
    OwnedRef module = OwnedRef::steal(PyModule_Create2(&module_definition, PYTHON_ABI_VERSION));
    if (!module) return nullptr;
    if (auto registered = register_everything(module.get()); !registered) {
      return raise_and_return_null(std::move(registered.error()));
    }
    // From 3.13 on, CPython runs the initialisation for a subinterpreter's import in the main
    // interpreter, on a fresh thread state with no Python code on it, and then refuses the
    // module itself. Raising there would hand the subinterpreter an exception object of the main
    // interpreter, which 3.13 frees in the wrong interpreter; so the module is made but the
    // one initialisation is left for the main interpreter's own import.
    if (python_code_running()) {
      initialised_module = OwnedRef::borrow(module.get()).release();
    }
    return module.release();
  });
}
