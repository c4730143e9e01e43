// The members of the module fendral_video; its table (video_module.cpp) lists them.
#pragma once

#include "python/error.hpp"

namespace fendral::python {

PyObject* split_to_fit_entry(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* trim_entry(PyObject* module, PyObject* args, PyObject* kwargs);

// Creates the class Segment (first call) and adds it to `module`.
HostResult<void> register_segment_class(PyObject* module);

}  // namespace fendral::python
