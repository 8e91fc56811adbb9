// Conversions of Python values into native ones, shared by every binding file. Each
// returns false with the conversion's own Python exception set, and leaves *out alone.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "engine/candidate_id.h"

namespace korvane::python {

// A str (or subclass), as UTF-8. Anything else: TypeError "'<type>' object cannot be
// converted to 'str'"; a str that does not encode: its UnicodeEncodeError.
bool text_from(PyObject* object, std::string* out);
// The text of str(object), as UTF-8.
bool str_text_from(PyObject* object, std::string* out);
// The interpreter's float conversion, narrowed to 32 bits.
bool float32_from(PyObject* object, float* out);
// As float32_from; None leaves *out absent.
bool optional_float32_from(PyObject* object, std::optional<float>* out);
// A candidate's identifier: an integer in 0 to 2^64 - 1 when the value converts to one
// (bool and __index__ included); otherwise the text of str(value), whatever the value is.
bool identifier_from(PyObject* object, CandidateId* out);
// The integer half of identifier_from: 1 with *out set when the object is an int (or has
// __index__) in 0 to 2^64 - 1, 0 when its id is its text, -1 with the exception set when the
// conversion was interrupted (not an ordinary Exception).
int integer_identifier(PyObject* object, uint64_t* out);
// An int or an object with __index__, in 0 to 2^64 - 1.
bool u64_from(PyObject* object, uint64_t* out);
// As u64_from, then at most 2^32 - 1 (else OverflowError "out of range integral type
// conversion attempted").
bool u32_from(PyObject* object, uint32_t* out);
// A tuple (or subclass) of exactly two values, each converted by float32_from.
bool float_pair_from(PyObject* object, std::pair<float, float>* out);

// Whether `object` counts as a sequence: a list or tuple (or subclass), or an instance of
// collections.abc.Sequence. 1 or 0; -1 with an exception set when the test itself fails.
int is_sequence(PyObject* object);

// Adds the note "while processing '<parameter>'" to the pending exception. When the note
// cannot be added, the exception stays pending without it.
void note_parameter(const char* parameter);

// Converts an argument; on failure adds the parameter note.
template <class T>
bool argument(PyObject* object, const char* parameter, bool (*convert)(PyObject*, T*), T* out) {
  if (convert(object, out)) return true;
  note_parameter(parameter);
  return false;
}

// The same for a parameter whose default is None: null (not given) or None leaves *out
// empty.
template <class T>
bool optional_argument(PyObject* object, const char* parameter, bool (*convert)(PyObject*, T*),
                       std::optional<T>* out) {
  if (object == nullptr || object == Py_None) {
    out->reset();
    return true;
  }
  T value{};
  if (!argument(object, parameter, convert, &value)) return false;
  *out = std::move(value);
  return true;
}

}  // namespace korvane::python
