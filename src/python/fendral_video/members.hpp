// The members of the module fendral_video; its table (module.cpp) lists them.
#pragma once

#include "python/common/error.hpp"

namespace fendral::python {

PyObject* split_to_fit_entry(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace fendral::python
