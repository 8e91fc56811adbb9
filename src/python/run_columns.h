// Engine.run_columns: a run over candidates given as columns, row i being one candidate
// whose object is row_offset + i. Every column is opened and checked before the run
// starts; the run itself is Engine.run's, over a source that reads the columns in place.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace korvane::python {

PyObject* engine_run_columns(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_shortlist_columns(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace korvane::python
