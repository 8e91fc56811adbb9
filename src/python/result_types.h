// The result classes korvane.Ranked, korvane.Rejected and korvane.Outcome: final, immutable
// heap types that Python cannot instantiate; only the conversion of a run's outcome creates
// their objects. They keep the run's native records and build what Python reads from them on
// first access: each dict once (the same object on every later access), each text and number
// anew. The Ranked and Rejected objects are made when the outcome's `ranked` or `rejected` is
// first read; until then the outcome holds the native entries.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <vector>

#include "engine/outcome.h"
#include "python/py_ref.h"

namespace korvane::python {

// Each class is created on the first call and is the same class object for the rest of
// the process. Borrowed; null with an exception set when it cannot be created.
PyTypeObject* ranked_type();
PyTypeObject* rejected_type();
PyTypeObject* outcome_type();

// What an Outcome holds.
struct OutcomeFields {
  std::vector<RankedEntry> ranked;          // rank order; objects made when first read
  std::shared_ptr<const RunLabels> labels;  // names the axes and constraints of `ranked`
  RejectedEntries rejected;      // drop order; objects made when first read
  RejectCounts counts;
  SelectionProperties selection;
  RunTrace trace;
  std::vector<bool> expensive;  // per registered axis: registered as expensive
};

// A new reference, or null with an exception set, in which case `fields` still owns
// everything it held.
PyObject* new_outcome(OutcomeFields&& fields);

}  // namespace korvane::python
