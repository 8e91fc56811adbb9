// Batches of queries for run_columns and run_lists: telling a two-dimensional input (queries
// x depth) from a column, taking one query's row out of it, and the threads argument.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "python/py_ref.h"
#include "python/sequence_check.h"

namespace korvane::python {

// 1 when `object` holds queries x depth: a buffer of two dimensions, or a sequence (not a
// str or bytes) whose first item is itself such a sequence or a buffer; 0 when it is one
// column; -1 with an exception set when telling failed.
int is_batch(PyObject* object, SequenceCheck& sequences);

// Row `query` of a batch, as the object's own indexing gives it (a view of a numpy row, the
// inner list of a list); empty with an exception set.
PyRef query_row(PyObject* batch, Py_ssize_t query);

// The `threads` argument: absent or None for every core, else an int of at least 1.
bool threads_from(PyObject* object, size_t* out);

}  // namespace korvane::python
