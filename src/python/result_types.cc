#include "python/result_types.h"

namespace korvane::python {

namespace {

// Calling one of these classes raises TypeError "cannot create 'korvane.<name>' instances".
constexpr unsigned long kResultFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;

PyType_Slot ranked_slots[] = {
    {Py_tp_doc, const_cast<char*>("골라진 후보 하나.")},
    {0, nullptr},
};
PyType_Slot rejected_slots[] = {
    {Py_tp_doc, const_cast<char*>("떨어진 후보 하나.")},
    {0, nullptr},
};
PyType_Slot outcome_slots[] = {
    {Py_tp_doc, const_cast<char*>("실행 결과 전부.")},
    {0, nullptr},
};

PyType_Spec ranked_type_spec = {"korvane.Ranked", static_cast<int>(sizeof(PyObject)), 0,
                                kResultFlags, ranked_slots};
PyType_Spec rejected_type_spec = {"korvane.Rejected", static_cast<int>(sizeof(PyObject)), 0,
                                  kResultFlags, rejected_slots};
PyType_Spec outcome_type_spec = {"korvane.Outcome", static_cast<int>(sizeof(PyObject)), 0,
                                 kResultFlags, outcome_slots};

PyTypeObject* create_once(PyTypeObject** slot, PyType_Spec* type_spec) {
  if (*slot == nullptr) *slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(type_spec));
  return *slot;
}

PyTypeObject* ranked_class = nullptr;
PyTypeObject* rejected_class = nullptr;
PyTypeObject* outcome_class = nullptr;

}  // namespace

PyTypeObject* ranked_type() {
  return create_once(&ranked_class, &ranked_type_spec);
}
PyTypeObject* rejected_type() {
  return create_once(&rejected_class, &rejected_type_spec);
}
PyTypeObject* outcome_type() {
  return create_once(&outcome_class, &outcome_type_spec);
}

}  // namespace korvane::python
