#include "python/batch_input.h"

#include <thread>

#include "python/convert.h"
#include "python/errors.h"

namespace korvane::python {

namespace {

// The dimensions of an object's buffer, or 0 when it has none.
int buffer_dimensions(PyObject* object) {
  if (!PyObject_CheckBuffer(object)) return 0;
  Py_buffer view;
  if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) != 0) {
    PyErr_Clear();  // not readable as records: left to the column reader to judge
    return 0;
  }
  const int dimensions = view.ndim;
  PyBuffer_Release(&view);
  return dimensions;
}

bool is_text(PyObject* object) {
  return PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object);
}

}  // namespace

int is_batch(PyObject* object, SequenceCheck& sequences) {
  const int dimensions = buffer_dimensions(object);
  if (dimensions != 0) return dimensions == 2 ? 1 : 0;
  if (is_text(object)) return 0;
  const int sequence = sequences(object);
  if (sequence <= 0) return sequence;
  const Py_ssize_t length = PySequence_Size(object);
  if (length < 0) return -1;
  if (length == 0) return 0;
  PyRef first = PyRef::steal(PySequence_GetItem(object, 0));
  if (!first) return -1;
  if (is_text(first.get())) return 0;
  if (buffer_dimensions(first.get()) == 1) return 1;
  return sequences(first.get());
}

PyRef query_row(PyObject* batch, Py_ssize_t query) {
  PyRef index = PyRef::steal(PyLong_FromSsize_t(query));
  if (!index) return {};
  return PyRef::steal(PyObject_GetItem(batch, index.get()));
}

bool threads_from(PyObject* object, size_t* out) {
  if (object == nullptr || object == Py_None) {
    // Asked once: the standard library reads a file of the system's for it on every call,
    // which costs a single small run more than its work.
    static const unsigned cores = std::thread::hardware_concurrency();
    *out = cores == 0 ? 1 : cores;
    return true;
  }
  uint64_t threads = 0;
  if (!u64_from(object, &threads)) {
    note_parameter("threads");
    return false;
  }
  if (threads == 0) {
    raise_with_text(PyExc_ValueError, "threads 는 1 이상이어야 한다");
    return false;
  }
  *out = static_cast<size_t>(threads);
  return true;
}

}  // namespace korvane::python
