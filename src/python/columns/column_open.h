// Opening one input column for a role: whatever the object is (an Arrow array or stream, a
// buffer, a Python sequence), the result is a Column, and everything that could make the
// run fail on it is checked here, before the run starts: the kind of rows for the role,
// missing identifiers, fixed-width texts that are no Unicode, costs out of range.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/columns/column.h"
#include "python/columns/column_request.h"
#include "python/sequence_check.h"

namespace korvane::python {

// False with the exception set; `out` is then to be dropped.
bool open_column(PyObject* object, const ColumnRequest& request, SequenceCheck& sequences,
                 Column* out);

}  // namespace korvane::python
