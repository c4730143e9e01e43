// The module fendral_video: cutting a video to fit a service's limits on time and size.
#include "python/common/module_support.hpp"
#include "python/docstrings.hpp"
#include "python/fendral_video/members.hpp"
#include "python/fendral_video/segment_type.hpp"

namespace fendral::python {
namespace {

PyMethodDef split_to_fit_definition = {
    .ml_name = "split_to_fit",
    .ml_meth = as_method(split_to_fit_entry),
    .ml_flags = METH_VARARGS | METH_KEYWORDS,
    .ml_doc =
        "split_to_fit(input_file, output_dir, *, max_seconds=None, max_bytes=None, "
        "progress=None, reencode=False)\n--\n\n" FENDRAL_DOC_fendral_video__split_to_fit,
};

PyModuleDef video_module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "fendral_video",
    .m_doc = FENDRAL_DOC_fendral_video,
    .m_size = 0,  // no per-module state: the one module lives as long as the process
};

PyObject* initialised_video_module = nullptr;

HostResult<void> add_members(PyObject* module) {
  FENDRAL_CHECK(add_function(module, split_to_fit_definition));
  return register_segment_class(module);
}

}  // namespace
}  // namespace fendral::python

// Exported by name, as PyInit_fendral is: Python 3.8's PyMODINIT_FUNC does not export it.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_fendral_video();

PyMODINIT_FUNC PyInit_fendral_video() {
  using namespace fendral::python;
  return init_module({.definition = video_module_definition,
                      .initialised = initialised_video_module,
                      .add_members = add_members});
}
