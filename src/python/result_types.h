// The result classes korvane.Ranked, korvane.Rejected and korvane.Outcome: final heap
// types that Python cannot instantiate; only a run creates their objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace korvane::python {

// Each class is created on the first call and is the same class object for the rest of
// the process. Borrowed; null with an exception set when it cannot be created.
PyTypeObject* ranked_type();
PyTypeObject* rejected_type();
PyTypeObject* outcome_type();

}  // namespace korvane::python
