// The members of the module fendral_stream; its table (module.cpp) lists them.
#pragma once

#include "python/common/error.hpp"

namespace fendral::python {

PyObject* read_chunks_entry(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* read_chunk_entry(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* crc32c_entry(PyObject* module, PyObject* args, PyObject* kwargs);

// Creates the class ChunkWriter (first call) and adds it to `module`.
HostResult<void> register_writer_class(PyObject* module);

}  // namespace fendral::python
