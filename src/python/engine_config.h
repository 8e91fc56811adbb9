// The configuration methods of Engine. Each binds its arguments, takes exclusive access,
// converts the arguments in signature order, checks their values, and only then stores
// into the settings; any failure leaves the settings as they were. All return None.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace korvane::python {

PyObject* engine_scorer(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_fuse(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_missing(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_rejections(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_max_per_group(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_max_total(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_require_at_least(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_unary_min(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_coverage_objective(PyObject* self, PyObject* unused);
PyObject* engine_budget_top_k(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_budget_tail_mass(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_budget_tokens(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_admission(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_pool_multiplier(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_threshold(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_min_fit(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace korvane::python
