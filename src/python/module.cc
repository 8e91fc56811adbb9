// The korvane extension module: multi-phase initialisation with one execution slot, which
// adds the module's attributes one by one, each name listed in __all__ before it is set.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/engine_type.h"
#include "python/errors.h"
#include "python/fork_generation.h"
#include "python/py_ref.h"
#include "python/result_types.h"
#include "python/shortlist_type.h"
#include "python/tail_mass_function.h"

namespace korvane::python {

namespace {

constexpr char kVersion[] = "0.1.0";
constexpr char kStatus[] =
    "fusion, constraints, set objective, adaptive budget, and evidence are available";

// Appends `name` to the module's __all__, then sets the attribute; `value` is borrowed and
// may be null (a failed creation, whose exception is then reported). A module executed a
// second time (a reload) starts a new __all__ at its first addition.
class AttributeList {
 public:
  explicit AttributeList(PyObject* module) : module_(module) {}

  bool add(const char* name, PyObject* value) {
    if (value == nullptr) return false;
    if (!all_) {
      all_ = PyRef::steal(PyList_New(0));
      if (!all_ || PyModule_AddObjectRef(module_, "__all__", all_.get()) < 0) return false;
    }
    PyRef name_text = PyRef::steal(PyUnicode_FromString(name));
    if (!name_text || PyList_Append(all_.get(), name_text.get()) < 0) return false;
    return PyModule_AddObjectRef(module_, name, value) == 0;
  }

  bool add_new(const char* name, PyRef value) { return add(name, value.get()); }

 private:
  PyObject* module_;
  PyRef all_;
};

PyObject* as_object(PyTypeObject* type) {
  return reinterpret_cast<PyObject*>(type);
}

int korvane_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_BadArgument();
    return -1;
  }
  if (!watch_forks()) {
    PyErr_NoMemory();
    return -1;
  }
  AttributeList attributes(module);
  bool added = attributes.add_new("__version__", PyRef::steal(PyUnicode_FromString(kVersion))) &&
               attributes.add_new("__status__", PyRef::steal(PyUnicode_FromString(kStatus))) &&
               attributes.add("EngineError", engine_error_class()) &&
               attributes.add("Engine", as_object(engine_type())) &&
               attributes.add("Ranked", as_object(ranked_type())) &&
               attributes.add("Rejected", as_object(rejected_type())) &&
               attributes.add("Outcome", as_object(outcome_type())) &&
               attributes.add_new("tail_mass", PyRef::steal(make_tail_mass_function(module)));
  if (!added) return -1;
  // Reachable by name, for pickling and type checks, but not one of the eight of __all__.
  PyTypeObject* shortlist = shortlist_type();
  if (shortlist == nullptr) return -1;
  return PyModule_AddObjectRef(module, "Shortlist", as_object(shortlist));
}

PyModuleDef_Slot korvane_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(korvane_exec)},
    {0, nullptr},
};

PyModuleDef korvane_module = {
    PyModuleDef_HEAD_INIT, "korvane", "", 0, nullptr, korvane_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace korvane::python

PyMODINIT_FUNC PyInit_korvane(void) {
  return PyModuleDef_Init(&korvane::python::korvane_module);
}
