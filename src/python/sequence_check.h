// SequenceCheck: whether a Python object counts as a sequence for candidate entries and
// callback results: a list or tuple (or subclass), or an instance of
// collections.abc.Sequence (so a str counts). One per run: the abc class is imported at the
// first object that needs it and kept until the run ends.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/py_ref.h"

namespace korvane::python {

class SequenceCheck {
 public:
  // 1 or 0; -1 with an exception set when the import or the instance test fails.
  int operator()(PyObject* object);

 private:
  PyRef sequence_class_;
};

}  // namespace korvane::python
