// The frame the column and list run methods share with run: the engine and the arguments
// are held for the call (a callback or an importer may drop their last other reference),
// shared access is taken for the whole run, and everything the run built is dropped before
// the exception, if any, is raised.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <vector>

#include "python/engine_type.h"
#include "python/py_ref.h"
#include "python/run.h"

namespace korvane::python {

// `body(engine)` returns the RunResult; the per-run objects it makes live inside it. The
// engine is passed so that runs take its cached plan (configure_run).
template <class Body>
PyObject* run_entry(PyObject* self, std::initializer_list<PyObject*> arguments, Body&& body) {
  std::vector<PyRef> held;
  held.push_back(PyRef::borrow(self));
  for (PyObject* argument : arguments) held.push_back(PyRef::borrow(argument));
  EngineObject* engine = as_engine(self);

  RunResult result;
  {
    SharedAccess access(engine->access);
    if (!access) return nullptr;
    result = body(engine);
  }
  held.clear();
  if (!result.outcome) {
    result.error.restore();
    return nullptr;
  }
  return result.outcome.release();
}

}  // namespace korvane::python
