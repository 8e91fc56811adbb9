// PyRef: one owned strong reference to a Python object, released when the PyRef dies.
// Move-only, so a reference has exactly one owner at a time. Needs the interpreter lock
// wherever a PyRef is created, moved over a live reference, reset or destroyed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <span>
#include <thread>
#include <utility>

namespace korvane::python {

// Drops each reference while the interpreter is up, with one look at its state: this thread
// holds the lock throughout, so the state cannot change between them. Once its shutdown has
// begun, a daemon thread that waits for the interpreter lock inside a run is ended by
// unwinding it from there, without the lock: touching objects then would race the shutdown,
// so references are left to the dying interpreter. When dropping a reference is itself what
// waited (a __del__ that sleeps), the unwinding would have to leave a destructor, which ends
// the process; the thread is parked for good instead, as it would be on a lock never granted.
inline void drop_references(std::span<PyObject* const> objects) {
  if (!Py_IsInitialized()) return;
  try {
    for (PyObject* object : objects) Py_XDECREF(object);
  } catch (...) {  // nothing else unwinds out of a dealloc
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
}

// drop_references for one reference, which may be null.
inline void drop_reference(PyObject* object) {
  if (object != nullptr) drop_references({&object, 1});
}

// The release function of an ObjectHandle that holds a Python object.
inline void release_python_object(void* object) {
  drop_reference(static_cast<PyObject*>(object));
}

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
  ~PyRef() { drop_reference(object_); }

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
  void reset(PyObject* object = nullptr) { drop_reference(std::exchange(object_, object)); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace korvane::python
