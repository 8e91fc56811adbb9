#include "python/convert.h"

#include <limits>

#include "python/py_ref.h"

namespace korvane::python {

namespace {

// TypeError "'<type name>' object cannot be converted to '<target>'".
void raise_cannot_convert(PyObject* object, const char* target) {
  PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(), target);
}

bool utf8_of(PyObject* text, std::string* out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return false;
  out->assign(data, static_cast<size_t>(size));
  return true;
}

}  // namespace

bool text_from(PyObject* object, std::string* out) {
  if (!PyUnicode_Check(object)) {
    raise_cannot_convert(object, "str");
    return false;
  }
  return utf8_of(object, out);
}

bool str_text_from(PyObject* object, std::string* out) {
  // An exact str is its own str(), so it is read directly.
  if (PyUnicode_CheckExact(object)) return utf8_of(object, out);
  PyRef text = PyRef::steal(PyObject_Str(object));
  return text && utf8_of(text.get(), out);
}

bool float32_from(PyObject* object, float* out) {
  double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return false;
  *out = static_cast<float>(value);
  return true;
}

bool optional_float32_from(PyObject* object, std::optional<float>* out) {
  if (object == Py_None) return true;
  float value = 0.0f;
  if (!float32_from(object, &value)) return false;
  *out = value;
  return true;
}

int integer_identifier(PyObject* object, uint64_t* out) {
  if (PyLong_CheckExact(object)) {
    unsigned long long integer = PyLong_AsUnsignedLongLong(object);
    if (!(integer == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
      *out = integer;
      return 1;
    }
    PyErr_Clear();  // negative or past 64 bits: the id is the int's text
  } else if (PyIndex_Check(object)) {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (index) {
      unsigned long long integer = PyLong_AsUnsignedLongLong(index.get());
      if (!(integer == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
        *out = integer;
        return 1;
      }
    }
    // A failed conversion only means the id is a text. Interrupts and exits are not
    // conversion failures and stop the item.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    PyErr_Clear();
  }
  return 0;
}

bool identifier_from(PyObject* object, CandidateId* out) {
  uint64_t integer = 0;
  const int found = integer_identifier(object, &integer);
  if (found < 0) return false;
  if (found > 0) {
    *out = CandidateId(integer);
    return true;
  }
  std::string text;
  if (!str_text_from(object, &text)) return false;
  *out = CandidateId(std::move(text));
  return true;
}

bool u64_from(PyObject* object, uint64_t* out) {
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) return false;
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = value;
  return true;
}

bool u32_from(PyObject* object, uint32_t* out) {
  uint64_t value = 0;
  if (!u64_from(object, &value)) return false;
  if (value > std::numeric_limits<uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  *out = static_cast<uint32_t>(value);
  return true;
}

bool float_pair_from(PyObject* object, std::pair<float, float>* out) {
  if (!PyTuple_Check(object)) {
    raise_cannot_convert(object, "tuple");
    return false;
  }
  Py_ssize_t length = PyTuple_Size(object);
  if (length < 0) return false;
  if (length != 2) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd",
                 length);
    return false;
  }
  // The tuple holds its items for as long as it lives, and converting them cannot change
  // it; still hold each item, since a __float__ may drop the last other reference.
  std::pair<float, float> pair;
  PyRef first = PyRef::borrow(PyTuple_GetItem(object, 0));
  if (!first || !float32_from(first.get(), &pair.first)) return false;
  PyRef second = PyRef::borrow(PyTuple_GetItem(object, 1));
  if (!second || !float32_from(second.get(), &pair.second)) return false;
  *out = pair;
  return true;
}

int is_sequence(PyObject* object) {
  if (PyList_Check(object) || PyTuple_Check(object)) return 1;
  PyRef abc = PyRef::steal(PyImport_ImportModule("collections.abc"));
  if (!abc) return -1;
  PyRef sequence = PyRef::steal(PyObject_GetAttrString(abc.get(), "Sequence"));
  if (!sequence) return -1;
  return PyObject_IsInstance(object, sequence.get());
}

// PyErr_Fetch and friends are the limited API's only way, up to 3.11, to hold the pending
// exception; later headers mark them deprecated.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
void note_parameter(const char* parameter) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", parameter));
    PyRef add_note = note ? PyRef::steal(PyObject_GetAttrString(value, "add_note")) : PyRef();
    PyRef result =
        add_note ? PyRef::steal(PyObject_CallFunctionObjArgs(add_note.get(), note.get(), nullptr))
                 : PyRef();
    // A note that cannot be added is left out; the conversion's exception is the one raised.
    if (!result) PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}
#pragma GCC diagnostic pop

}  // namespace korvane::python
