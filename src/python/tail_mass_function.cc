#include "python/tail_mass_function.h"

#include <cstdint>

#include "budget/tail_mass.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/py_ref.h"

namespace korvane::python {

namespace {

constexpr char kTailMassDoc[] =
    "tail_mass(s, k, v)\n"
    "--\n"
    "\n"
    "상위 `k` 개 뒤에 남는 질량.\n"
    "\n"
    "엔진과 따로 쓸 수 있다. 같은 값이 캐시 크기 결정에도 쓰인다. 적중률은 이 식의 여집합이다.";

PyObject* tail_mass_impl(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  static const char* const kKeywords[] = {"s", "k", "v", nullptr};
  PyObject* s_arg = nullptr;
  PyObject* k_arg = nullptr;
  PyObject* v_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:tail_mass", const_cast<char**>(kKeywords),
                                   &s_arg, &k_arg, &v_arg)) {
    return nullptr;
  }
  float s = 0.0f;
  uint64_t k = 0;
  uint64_t v = 0;
  if (!argument(s_arg, "s", float32_from, &s) || !argument(k_arg, "k", u64_from, &k) ||
      !argument(v_arg, "v", u64_from, &v)) {
    return nullptr;
  }
  return PyFloat_FromDouble(static_cast<double>(tail_mass(s, k, v)));
}

PyObject* tail_mass_function(PyObject* module, PyObject* args, PyObject* kwargs) {
  return with_native_failures([&] { return tail_mass_impl(module, args, kwargs); });
}

PyMethodDef tail_mass_def = {
    "tail_mass",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tail_mass_function)),
    METH_VARARGS | METH_KEYWORDS,
    kTailMassDoc,
};

}  // namespace

PyObject* make_tail_mass_function(PyObject* module) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return nullptr;
  return PyCFunction_NewEx(&tail_mass_def, module, module_name.get());
}

}  // namespace korvane::python
