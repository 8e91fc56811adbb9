// Reading a column from an object with the buffer protocol (numpy arrays, array.array,
// memoryview): one dimension, any strides, numbers, bools or fixed-width UCS-4 texts. The
// buffer is held, never copied, until the column dies.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/columns/column.h"
#include "python/columns/column_request.h"

namespace korvane::python {

enum class BufferImport {
  kImported,
  kObjects,  // a buffer of Python objects ('O'): nothing is held, read it as a sequence
  kFailed,   // an exception is set
};

// Precondition: the object has the buffer protocol.
BufferImport import_buffer(PyObject* object, const ColumnRequest& request, Column* out);

}  // namespace korvane::python
