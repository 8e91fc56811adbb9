// New Python objects for native values, as every result reaches Python: texts as str, 32-bit
// floats widened exactly to a float, absent optionals as None. Each returns an owned
// reference, empty with an exception set when the object cannot be created.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "python/py_ref.h"

namespace korvane::python {

inline PyRef py_text(std::string_view text) {
  return PyRef::steal(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

inline PyRef py_float(float value) {
  return PyRef::steal(PyFloat_FromDouble(static_cast<double>(value)));
}

inline PyRef py_none() {
  return PyRef::borrow(Py_None);
}

inline PyRef py_optional_float(const std::optional<float>& value) {
  return value ? py_float(*value) : py_none();
}

inline PyRef py_u64(uint64_t value) {
  return PyRef::steal(PyLong_FromUnsignedLongLong(value));
}

inline PyRef py_bool(bool value) {
  return PyRef::borrow(value ? Py_True : Py_False);
}

}  // namespace korvane::python
