// Reading a column given as a Python sequence (a list, a tuple, any
// collections.abc.Sequence, or a buffer of Python objects): converted once, up front, with
// the conversions of the dict path, into storage the column owns and reads like any other.
// A failed conversion raises its own exception, noted with the column and the row.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/columns/column.h"
#include "python/columns/column_request.h"
#include "python/columns/id_key.h"
#include "python/sequence_check.h"

namespace korvane::python {

// Precondition: the object supports len() and indexing.
bool import_sequence(PyObject* object, const ColumnRequest& request, SequenceCheck& sequences,
                     Column* out);

// The join key of a Python identifier: an int (or an object with __index__) is an
// integer, a str a text, anything else kOther. False with an exception set only when
// reading the value itself failed.
bool id_key_from(PyObject* object, IdKey* out);

}  // namespace korvane::python
