// EntryHint: finds one key's entry in a stream of dicts by where it sat in the last one.
// Items made by the same code keep their entries in the same order, and stepping to a known
// entry with PyDict_Next costs about half a lookup. The hint only ever takes an entry whose
// key is the looked-up key object itself, so a wrong guess costs a lookup, never a value.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace korvane::python {

// The entry's value in the dict's own storage (no __getitem__ or __missing__), borrowed:
// null when the key is absent, false when the lookup raised. The caller reads it before
// anything can run Python code, or holds it first.
inline bool lookup(PyObject* dict, PyObject* key, PyObject** out) {
  *out = PyDict_GetItemWithError(dict, key);
  return *out != nullptr || !PyErr_Occurred();
}

class EntryHint {
 public:
  // A hint for `key`, which is borrowed and must outlive the hint.
  explicit EntryHint(PyObject* key) : key_(key) {}

  // As lookup(dict, key, out); the hint helps when `key` is the same object on every call.
  // A guess that finds the key object itself compares no keys, so no Python code runs.
  bool find(PyObject* dict, PyObject* key, PyObject** out) {
    return take(dict, key, out) || find_by_lookup(dict, key, out);
  }

  // The entry's value, borrowed, when the guess finds the key object itself; false, having
  // run no Python code and learnt nothing, otherwise.
  bool take(PyObject* dict, PyObject* key, PyObject** out) const {
    Py_ssize_t position = position_;
    PyObject* found;  // written by PyDict_Next when it finds an entry, and read only then
    return position >= 0 && PyDict_Next(dict, &position, &found, out) && found == key;
  }
  // take() for the key the hint was made for.
  bool take(PyObject* dict, PyObject** out) const { return take(dict, key_, out); }

 private:
  // Entries walked to learn a position; a key further in is always looked up.
  static constexpr int kWalkLimit = 8;
  // Lookups after a missed or failed guess before the next walk, so that a stream whose
  // items alternate between layouts pays for few walks.
  static constexpr uint32_t kLookupsBetweenWalks = 32;

  bool find_by_lookup(PyObject* dict, PyObject* key, PyObject** out) {
    if (position_ >= 0) {
      position_ = -1;
      lookups_before_walk_ = kLookupsBetweenWalks;
    }
    if (!lookup(dict, key, out)) return false;
    if (*out == nullptr) return true;  // absent: there is nothing to learn
    if (lookups_before_walk_ > 0) {
      --lookups_before_walk_;
      return true;
    }
    Py_ssize_t next = 0;
    PyObject* entry_key = nullptr;
    PyObject* entry_value = nullptr;
    for (int step = 0; step < kWalkLimit && PyDict_Next(dict, &next, &entry_key, &entry_value);
         ++step) {
      if (entry_key == key) {
        position_ = next - 1;  // PyDict_Next has moved past the entry
        return true;
      }
    }
    // The entry's key is an equal str that is another object, or lies past the walk.
    lookups_before_walk_ = kLookupsBetweenWalks;
    return true;
  }

  Py_ssize_t position_ = -1;  // where PyDict_Next finds the entry, or -1 for no guess
  PyObject* key_;             // the key the hint was made for, borrowed
  uint32_t lookups_before_walk_ = 0;
};

}  // namespace korvane::python
