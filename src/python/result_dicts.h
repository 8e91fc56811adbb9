// The dictionaries the result objects hand out, built from the native records when they
// are first read. Keys are inserted in their fixed order. Each returns a new reference,
// empty with an exception set when a Python object could not be made.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <span>
#include <vector>

#include "engine/evidence.h"
#include "engine/outcome.h"
#include "python/py_ref.h"

namespace korvane::python {

// The axes of `scores` and of the fusion terms are named by position in `labels.axes`.
PyRef scores_dict(std::span<const std::optional<float>> scores, const RunLabels& labels);
PyRef fusion_dict(const FusionEvidence& fusion, const RunLabels& labels);
PyRef counts_dict(const RejectCounts& counts);
PyRef selection_dict(const SelectionProperties& selection);
// `expensive` says, per registered axis, whether it was registered with the expensive cost
// class; the per-axis records pair with it up to the shorter of the two lists.
PyRef trace_dict(const RunTrace& trace, const std::vector<bool>& expensive);

}  // namespace korvane::python
