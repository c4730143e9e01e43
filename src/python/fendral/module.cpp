// The module fendral: its table of members and its initialisation.
#include "python/common/module_support.hpp"
#include "python/docstrings.hpp"
#include "python/fendral/chunk_type.hpp"
#include "python/fendral/members.hpp"

namespace fendral::python {
namespace {

// What the module holds, in the order of its __all__: a class, made and added by its function,
// or a function, whose definition must live as long as the process.
struct Member {
  HostResult<void> (*add_class)(PyObject* module);
  PyMethodDef function;
};

Member members[] = {
    {.add_class = register_chunk_class, .function = {}},
    {.add_class = nullptr,
     .function =
         {.ml_name = "deconstruct_file",
          .ml_meth = as_method(deconstruct_file_entry),
          .ml_flags = kKeywordCall,
          .ml_doc =
              "deconstruct_file(path, chunk_size)\n--\n\n" FENDRAL_DOC_fendral__deconstruct_file}},
    {.add_class = nullptr,
     .function = {.ml_name = "reconstruct_file",
                  .ml_meth = as_method(reconstruct_file_entry),
                  .ml_flags = kKeywordCall,
                  .ml_doc = "reconstruct_file(chunks, "
                            "output_path)\n--\n\n" FENDRAL_DOC_fendral__reconstruct_file}},
    {.add_class = register_metadata_class, .function = {}},
    {.add_class = nullptr,
     .function = {.ml_name = "split_video",
                  .ml_meth = as_method(split_video_entry),
                  .ml_flags = kKeywordCall,
                  .ml_doc = "split_video(input_file, output_dir, "
                            "time_limit_sec)\n--\n\n" FENDRAL_DOC_fendral__split_video}},
    {.add_class = nullptr,
     .function = {.ml_name = "reconstruct_video",
                  .ml_meth = as_method(reconstruct_video_entry),
                  .ml_flags = kKeywordCall,
                  .ml_doc = "reconstruct_video(output_dir, "
                            "output_file)\n--\n\n" FENDRAL_DOC_fendral__reconstruct_video}},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "fendral",
    .m_doc = FENDRAL_DOC_fendral,
    .m_size = 0,  // no per-module state: the one module lives as long as the process
};

PyObject* initialised_module = nullptr;

HostResult<void> add_members(PyObject* module) {
  // The package's version as pip shows it, for bug reports; not in __all__.
  if (PyModule_AddStringConstant(module, "__version__", FENDRAL_VERSION) != 0) {
    return captured_error();
  }
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
  return init_module({.definition = module_definition,
                      .initialised = initialised_module,
                      .add_members = add_members});
}
