// PyRef: one owned strong reference to a Python object, released when the PyRef dies.
// Move-only, so a reference has exactly one owner at a time. Needs the interpreter lock
// wherever a PyRef is created, moved over a live reference, reset or destroyed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace korvane::python {

class PyRef {
 public:
  PyRef() = default;
  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  // Takes over a new reference (the result of most API calls); null stays empty.
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Adds a reference of its own to a borrowed object; null stays empty.
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

  // Hands the reference to the caller, leaving this empty.
  PyObject* release() { return std::exchange(object_, nullptr); }

  // Drops the held reference (if any) after the new one is in place, so a destructor that
  // runs Python code never sees this PyRef holding a dead object.
  void reset(PyObject* object = nullptr) {
    PyObject* old = std::exchange(object_, object);
    Py_XDECREF(old);
  }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace korvane::python
