// outcome_to_python: turns a finished run's native RunOutcome into the Python Outcome, with
// one Ranked per ranked entry (carrying its audit JSON text) and one Rejected per retained
// drop.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "engine/outcome.h"
#include "python/engine_settings.h"

namespace korvane::python {

// Consumes `outcome`: each candidate's object reference moves into the Ranked or Rejected
// that carries it, and everything else is freed. `axes` are the settings' registered axes,
// read for each axis's cost class in the trace. Requires the interpreter lock. Returns a new
// reference, or null with an exception set, in which case every object created so far and
// the rest of the outcome are released.
PyObject* outcome_to_python(RunOutcome&& outcome, const std::vector<ScorerSpec>& axes);

}  // namespace korvane::python
