// The dictionaries the result objects hand out, built from the native records when they
// are first read. Keys are inserted in their fixed order. Each returns a new reference,
// empty with an exception set when a Python object could not be made.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "engine/evidence.h"
#include "engine/outcome.h"
#include "python/py_ref.h"

namespace korvane::python {

PyRef scores_dict(const std::vector<ScoreCell>& cells);
PyRef fusion_dict(const FusionEvidence& fusion);
PyRef counts_dict(const RejectCounts& counts);
PyRef selection_dict(const SelectionProperties& selection);
// `expensive` says, per registered axis, whether it was registered with the expensive cost
// class; the per-axis records pair with it up to the shorter of the two lists.
PyRef trace_dict(const RunTrace& trace, const std::vector<bool>& expensive);

}  // namespace korvane::python
