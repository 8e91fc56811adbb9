#include "python/errors.h"

#include "python/py_ref.h"

namespace korvane::python {

namespace {

// Lives for the rest of the process once created: every module object of every import
// hands out this same class.
PyObject* engine_error = nullptr;

}  // namespace

PyObject* engine_error_class() {
  if (engine_error == nullptr) {
    engine_error = PyErr_NewExceptionWithDoc(
        "korvane.EngineError", "엔진 설정이 성립하지 않거나 요구 조건을 채울 수 없을 때 난다.",
        PyExc_Exception, nullptr);
  }
  return engine_error;
}

void raise_with_text(PyObject* type, std::string_view message) {
  PyRef text = PyRef::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(type, text.get());
}

}  // namespace korvane::python
