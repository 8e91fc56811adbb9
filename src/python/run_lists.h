// Engine.run_lists: a run over the ranked lists of several retrievers, one list per axis,
// joined by id. The lists are opened, checked and joined, and the values given by id are
// looked up, before the run starts; the run itself is Engine.run's, over the joined
// candidates.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace korvane::python {

PyObject* engine_run_lists(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace korvane::python
