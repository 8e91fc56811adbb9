// Turning native failures into Python exceptions, and the module's exception class.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

namespace korvane::python {

// korvane.EngineError, created on the first call and the same class object for the rest
// of the process. Borrowed; null with an exception set when it cannot be created.
PyObject* engine_error_class();

// Sets `type` with a message given as UTF-8 (embedded NULs kept).
void raise_with_text(PyObject* type, std::string_view message);

// Runs the body of a Python-facing function (a new reference, or null with an exception
// set), turning a C++ exception escaping it (an allocation failure in a string or vector,
// in practice) into a Python exception. The body's guards and references are released by
// unwinding before the exception is set. Not noexcept: the forced unwinding that ends a
// daemon thread at interpreter shutdown (it matches neither handler) must be let through,
// as the thread's C frames let it through.
template <class Body>
PyObject* with_native_failures(Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    PyErr_SetString(PyExc_RuntimeError, failure.what());
  }
  return nullptr;
}

}  // namespace korvane::python
