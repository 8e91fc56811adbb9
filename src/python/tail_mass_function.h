// The module function korvane.tail_mass(s, k, v).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace korvane::python {

// A new function object bound to `module`; null with an exception set on failure.
PyObject* make_tail_mass_function(PyObject* module);

}  // namespace korvane::python
