// Engine.run: builds a fresh native configuration from the object's settings, runs the
// pipeline over the given iterable, and returns the Outcome or raises the one failure that
// takes precedence.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace korvane::python {

PyObject* engine_run(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace korvane::python
