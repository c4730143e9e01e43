// The module's functions, each binding Python's arguments to one native operation. The module's
// table (module.cpp) lists them with their names and signatures.
#pragma once

#include "python/common/error.hpp"

namespace fendral::python {

PyObject* deconstruct_file_entry(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* reconstruct_file_entry(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* split_video_entry(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* reconstruct_video_entry(PyObject* module, PyObject* args, PyObject* kwargs);

// Creates the class Mp4ChunkMetadata (first call) and adds it to `module`.
[[nodiscard]] HostResult<void> register_metadata_class(PyObject* module);

}  // namespace fendral::python
