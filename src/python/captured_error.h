// CapturedError: a Python exception taken out of the interpreter's error indicator so that
// it can be raised later, after other Python code has run. Move-only. Needs the interpreter
// lock wherever one is fetched, restored or destroyed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/py_ref.h"

namespace korvane::python {

class CapturedError {
 public:
  CapturedError() = default;

  // Takes the pending exception and clears the indicator; empty when none is pending.
  static CapturedError fetch() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    fetch_pending(&type, &value, &traceback);
    CapturedError error;
    error.type_ = PyRef::steal(type);
    error.value_ = PyRef::steal(value);
    error.traceback_ = PyRef::steal(traceback);
    return error;
  }

  explicit operator bool() const { return static_cast<bool>(type_); }

  // Makes the exception pending again (the indicator must be clear) and leaves this empty.
  void restore() {
    if (!type_) return;
    restore_pending(type_.release(), value_.release(), traceback_.release());
  }

 private:
// PyErr_Fetch and PyErr_Restore are the limited API's only way, up to 3.11, to hold an
// exception outside the indicator; later headers mark them deprecated.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  static void fetch_pending(PyObject** type, PyObject** value, PyObject** traceback) {
    PyErr_Fetch(type, value, traceback);
  }
  static void restore_pending(PyObject* type, PyObject* value, PyObject* traceback) {
    PyErr_Restore(type, value, traceback);
  }
#pragma GCC diagnostic pop

  PyRef type_;
  PyRef value_;
  PyRef traceback_;
};

}  // namespace korvane::python
