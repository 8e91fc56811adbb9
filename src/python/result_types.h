// The result classes korvane.Ranked, korvane.Rejected and korvane.Outcome: final, immutable
// heap types that Python cannot instantiate; only the conversion of a run's outcome creates
// their objects. They keep the run's native records and build what Python reads from them on
// first access: each dict once (the same object on every later access), each text and number
// anew. A Rejected object is made when the outcome's `rejected` is first read.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "engine/outcome.h"
#include "python/py_ref.h"

namespace korvane::python {

// Each class is created on the first call and is the same class object for the rest of
// the process. Borrowed; null with an exception set when it cannot be created.
PyTypeObject* ranked_type();
PyTypeObject* rejected_type();
PyTypeObject* outcome_type();

// A Ranked holding `entry`, whose candidate's object reference moves into it. A new
// reference, or null with an exception set, in which case `entry` is left as it was.
PyObject* new_ranked(RankedEntry& entry);

// What an Outcome holds.
struct OutcomeFields {
  std::vector<PyRef> ranked;           // Ranked objects, rank order
  std::vector<RejectedEntry> rejected;  // drop order; objects made when first read
  RejectCounts counts;
  SelectionProperties selection;
  RunTrace trace;
  std::vector<bool> expensive;  // per registered axis: registered as expensive
};

// A new reference, or null with an exception set, in which case `fields` still owns
// everything it held.
PyObject* new_outcome(OutcomeFields&& fields);

}  // namespace korvane::python
