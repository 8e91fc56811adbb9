// The result classes korvane.Ranked, korvane.Rejected and korvane.Outcome: final, immutable
// heap types that Python cannot instantiate; only the conversion of a run's outcome creates
// their objects. Texts and numbers are stored natively and become a new Python object on each
// access; dicts and the candidate are stored as objects and handed out as they are.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/py_ref.h"

namespace korvane::python {

// Each class is created on the first call and is the same class object for the rest of
// the process. Borrowed; null with an exception set when it cannot be created.
PyTypeObject* ranked_type();
PyTypeObject* rejected_type();
PyTypeObject* outcome_type();

// What a Ranked holds, in field order.
struct RankedFields {
  std::string id;                        // display form of the identifier
  std::vector<std::string> constraints;  // ids of the passed set constraints
  std::string json;                      // the audit JSON text, fixed at creation
  PyRef scores;                          // dict
  PyRef fusion;                          // dict
  PyRef candidate;                       // the caller's object
  uint32_t rank = 0;
  float fused = 0.0f;
};

// What a Rejected holds, in field order.
struct RejectedFields {
  std::string id;
  std::string_view reason;  // one of the fixed reason names (static storage)
  std::optional<std::string> detail;
  std::optional<float> fused;
  PyRef candidate;
};

// What an Outcome holds, in field order.
struct OutcomeFields {
  std::vector<PyRef> ranked;    // Ranked objects, rank order
  std::vector<PyRef> rejected;  // Rejected objects, drop order
  PyRef rejected_counts;        // dict
  PyRef selection;              // dict
  PyRef trace;                  // dict
};

// Create one object from its fields, which move into it on success. A new reference, or
// null with an exception set, in which case `fields` still owns everything it held. The
// object fields must be non-null.
PyObject* new_ranked(RankedFields&& fields);
PyObject* new_rejected(RejectedFields&& fields);
PyObject* new_outcome(OutcomeFields&& fields);

}  // namespace korvane::python
