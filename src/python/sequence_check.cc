#include "python/sequence_check.h"

namespace korvane::python {

int SequenceCheck::operator()(PyObject* object) {
  if (PyList_Check(object) || PyTuple_Check(object)) return 1;
  if (!sequence_class_) {
    PyRef abc = PyRef::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return -1;
    sequence_class_ = PyRef::steal(PyObject_GetAttrString(abc.get(), "Sequence"));
    if (!sequence_class_) return -1;
  }
  return PyObject_IsInstance(object, sequence_class_.get());
}

}  // namespace korvane::python
