// The Python object a candidate's ObjectHandle stands for: the object it holds, the int of
// the row it names, or None for an empty handle. Needs the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "engine/object_handle.h"

namespace korvane::python {

// A new reference; null with an exception set when a row's int cannot be made.
inline PyObject* new_object_of(const ObjectHandle& handle) {
  if (handle.is_row()) return PyLong_FromLongLong(handle.row());
  PyObject* object = handle.get() != nullptr ? static_cast<PyObject*>(handle.get()) : Py_None;
  Py_INCREF(object);
  return object;
}

// The object the handle holds, borrowed, for a garbage collector's visit; null for a row or
// an empty handle, which hold no Python object.
inline PyObject* held_object(const ObjectHandle& handle) {
  return static_cast<PyObject*>(handle.get());
}

}  // namespace korvane::python
