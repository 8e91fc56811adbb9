// Reading a column through the Arrow PyCapsule interface: `__arrow_c_array__` (one array)
// or `__arrow_c_stream__` (a chunked array: one chunk per array the stream yields). The
// arrays are moved out of their capsules and held, never copied, until the column dies;
// array offsets, validity bitmaps and dictionary encoding are honoured.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/columns/column.h"
#include "python/columns/column_request.h"

namespace korvane::python {

enum class ArrowImport {
  kImported,
  kNotArrow,  // the object offers neither method
  kFailed,    // an exception is set
};

ArrowImport import_arrow(PyObject* object, const ColumnRequest& request, Column* out);

}  // namespace korvane::python
