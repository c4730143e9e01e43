// The one way into CPython's headers: always through the stable ABI of Python 3.8.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x03080000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
