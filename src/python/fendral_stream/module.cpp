// The module fendral_stream: files larger than memory, read chunk by chunk and written back in
// any order. It makes and takes fendral's own Chunk class, so it imports fendral first.
#include "python/common/module_support.hpp"
#include "python/docstrings.hpp"
#include "python/fendral/chunk_type.hpp"
#include "python/fendral_stream/manifest_type.hpp"
#include "python/fendral_stream/members.hpp"

namespace fendral::python {
namespace {

PyMethodDef read_chunks_definition = {
    .ml_name = "read_chunks",
    .ml_meth = as_method(read_chunks_entry),
    .ml_flags = METH_VARARGS | METH_KEYWORDS,
    .ml_doc =
        "read_chunks(path, chunk_size, *, "
        "parity=0)\n--\n\n" FENDRAL_DOC_fendral_stream__read_chunks,
};

PyMethodDef read_chunk_definition = {
    .ml_name = "read_chunk",
    .ml_meth = as_method(read_chunk_entry),
    .ml_flags = METH_VARARGS | METH_KEYWORDS,
    .ml_doc = "read_chunk(path, chunk_size, index)\n--\n\n" FENDRAL_DOC_fendral_stream__read_chunk,
};

PyMethodDef crc32c_definition = {
    .ml_name = "crc32c",
    .ml_meth = as_method(crc32c_entry),
    .ml_flags = METH_VARARGS | METH_KEYWORDS,
    .ml_doc = "crc32c(data, value=0)\n--\n\n" FENDRAL_DOC_fendral_stream__crc32c,
};

PyModuleDef stream_module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "fendral_stream",
    .m_doc = FENDRAL_DOC_fendral_stream,
    .m_size = 0,  // no per-module state: the one module lives as long as the process
};

PyObject* initialised_stream_module = nullptr;

HostResult<void> add_members(PyObject* module) {
  FENDRAL_CHECK(add_function(module, read_chunks_definition));
  FENDRAL_CHECK(add_function(module, read_chunk_definition));
  FENDRAL_CHECK(add_function(module, crc32c_definition));
  FENDRAL_CHECK(register_writer_class(module));
  return register_manifest_class(module);
}

}  // namespace
}  // namespace fendral::python

// Exported by name, as PyInit_fendral is: Python 3.8's PyMODINIT_FUNC does not export it.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_fendral_stream();

PyMODINIT_FUNC PyInit_fendral_stream() {
  using namespace fendral::python;
  return init_module({.definition = stream_module_definition,
                      .initialised = initialised_stream_module,
                      .add_members = add_members,
                      .before_creation = adopt_chunk_class});
}
