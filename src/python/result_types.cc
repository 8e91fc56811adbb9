#include "python/result_types.h"

#include <structmember.h>

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "audit/float_text.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/py_values.h"

namespace korvane::python {

namespace {

// Objects are laid out as PyObject_HEAD, then the object fields (addressed by offset for the
// member descriptors), then the native ones, constructed in place after allocation.
struct RankedObject {
  PyObject_HEAD PyObject* scores;
  PyObject* fusion;
  PyObject* candidate;
  std::string id;
  std::vector<std::string> constraints;
  std::string json;
  uint32_t rank;
  float fused;
};

struct RejectedObject {
  PyObject_HEAD PyObject* candidate;
  std::string id;
  std::string_view reason;
  std::optional<std::string> detail;
  std::optional<float> fused;
};

struct OutcomeObject {
  PyObject_HEAD PyObject* rejected_counts;
  PyObject* selection;
  PyObject* trace;
  std::vector<PyRef> ranked;
  std::vector<PyRef> rejected;
};

static_assert(std::is_standard_layout_v<RankedObject>);
static_assert(std::is_standard_layout_v<RejectedObject>);
static_assert(std::is_standard_layout_v<OutcomeObject>);

RankedObject* as_ranked(PyObject* self) {
  return reinterpret_cast<RankedObject*>(self);
}
RejectedObject* as_rejected(PyObject* self) {
  return reinterpret_cast<RejectedObject*>(self);
}
OutcomeObject* as_outcome(PyObject* self) {
  return reinterpret_cast<OutcomeObject*>(self);
}

// A new list holding a new reference to each object.
PyObject* new_list_of(const std::vector<PyRef>& objects) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(objects.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < objects.size(); ++i) {
    PyObject* item = objects[i].get();
    Py_INCREF(item);
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// Allocates an object of `type` with every field zeroed and the object tracked by the
// collector; null with an exception set.
PyObject* allocate(PyTypeObject* type) {
  if (type == nullptr) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return alloc(type, 0);
}

void free_object(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

// The message the member descriptors give for a field the collector has already cleared.
void raise_cleared(PyObject* self, const char* field) {
  PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(self)));
  if (type_name) {
    PyErr_Format(PyExc_AttributeError, "'%U' object has no attribute '%s'", type_name.get(), field);
  }
}

template <class Function>
PyCFunction as_method(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

template <class Function>
void* as_slot(Function function) {
  return reinterpret_cast<void*>(function);
}

constexpr char kIdDoc[] = "후보 식별자.";
constexpr char kCandidateDoc[] = "넘겼던 파이썬 객체 그대로.";

// Calling one of these classes raises TypeError "cannot create 'korvane.<name>' instances".
constexpr unsigned long kResultFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                                       Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;

// ---- Ranked

int ranked_traverse(PyObject* self, visitproc visit, void* arg) {
  RankedObject* ranked = as_ranked(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(ranked->scores);
  Py_VISIT(ranked->fusion);
  Py_VISIT(ranked->candidate);
  return 0;
}

int ranked_clear(PyObject* self) {
  RankedObject* ranked = as_ranked(self);
  Py_CLEAR(ranked->scores);
  Py_CLEAR(ranked->fusion);
  Py_CLEAR(ranked->candidate);
  return 0;
}

void ranked_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  ranked_clear(self);
  RankedObject* ranked = as_ranked(self);
  std::destroy_at(&ranked->id);
  std::destroy_at(&ranked->constraints);
  std::destroy_at(&ranked->json);
  free_object(self);
}

PyObject* ranked_id(PyObject* self, void*) {
  return py_text(as_ranked(self)->id).release();
}

PyObject* ranked_rank(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(as_ranked(self)->rank);
}

PyObject* ranked_fused(PyObject* self, void*) {
  return py_float(as_ranked(self)->fused).release();
}

PyObject* ranked_constraints(PyObject* self, void*) {
  const std::vector<std::string>& constraints = as_ranked(self)->constraints;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(constraints.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < constraints.size(); ++i) {
    PyObject* text = py_text(constraints[i]).release();
    if (text == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), text);
  }
  return list.release();
}

PyObject* ranked_to_json(PyObject* self, PyObject*) {
  return py_text(as_ranked(self)->json).release();
}

PyObject* ranked_repr(PyObject* self) {
  return with_native_failures([&]() -> PyObject* {
    const RankedObject* ranked = as_ranked(self);
    std::string text = "Ranked(rank=" + std::to_string(ranked->rank) + ", id=";
    text.append(ranked->id).append(", fused=").append(positional_float(ranked->fused));
    text.push_back(')');
    return py_text(text).release();
  });
}

PyGetSetDef ranked_getters[] = {
    {"id", ranked_id, nullptr, kIdDoc, nullptr},
    {"rank", ranked_rank, nullptr, "1 부터 시작하는 순위.", nullptr},
    {"fused", ranked_fused, nullptr, "융합 점수.", nullptr},
    {"constraints", ranked_constraints, nullptr, "이 후보가 통과한 집합 제약들.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef ranked_members[] = {
    {"scores", T_OBJECT_EX, offsetof(RankedObject, scores), READONLY,
     "융합 전 원본 점수. 값이 없던 축은 `None` 이다."},
    {"fusion", T_OBJECT_EX, offsetof(RankedObject, fusion), READONLY, "어떻게 합쳤는가."},
    {"candidate", T_OBJECT_EX, offsetof(RankedObject, candidate), READONLY, kCandidateDoc},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef ranked_methods[] = {
    {"to_json", as_method(ranked_to_json), METH_NOARGS,
     "to_json($self)\n--\n\n감사 출력용 JSON 한 덩어리."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot ranked_slots[] = {
    {Py_tp_doc, const_cast<char*>("골라진 후보 하나.")},
    {Py_tp_dealloc, as_slot(ranked_dealloc)},
    {Py_tp_traverse, as_slot(ranked_traverse)},
    {Py_tp_clear, as_slot(ranked_clear)},
    {Py_tp_repr, as_slot(ranked_repr)},
    {Py_tp_getset, ranked_getters},
    {Py_tp_members, ranked_members},
    {Py_tp_methods, ranked_methods},
    {0, nullptr},
};

// ---- Rejected

int rejected_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_rejected(self)->candidate);
  return 0;
}

int rejected_clear(PyObject* self) {
  Py_CLEAR(as_rejected(self)->candidate);
  return 0;
}

void rejected_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  rejected_clear(self);
  RejectedObject* rejected = as_rejected(self);
  std::destroy_at(&rejected->id);
  std::destroy_at(&rejected->detail);
  free_object(self);
}

PyObject* rejected_id(PyObject* self, void*) {
  return py_text(as_rejected(self)->id).release();
}

PyObject* rejected_reason(PyObject* self, void*) {
  return py_text(as_rejected(self)->reason).release();
}

PyObject* rejected_detail(PyObject* self, void*) {
  const std::optional<std::string>& detail = as_rejected(self)->detail;
  if (!detail) Py_RETURN_NONE;
  return py_text(*detail).release();
}

PyObject* rejected_fused(PyObject* self, void*) {
  return py_optional_float(as_rejected(self)->fused).release();
}

PyObject* rejected_repr(PyObject* self) {
  return with_native_failures([&]() -> PyObject* {
    const RejectedObject* rejected = as_rejected(self);
    std::string text = "Rejected(id=" + rejected->id + ", reason=";
    text.append(rejected->reason).push_back(')');
    return py_text(text).release();
  });
}

PyGetSetDef rejected_getters[] = {
    {"id", rejected_id, nullptr, kIdDoc, nullptr},
    {"reason", rejected_reason, nullptr,
     "사유의 종류. `not_scored`, `unary_constraint`, `set_constraint`,\n"
     "`below_threshold`, `outranked`, `out_of_pool` 중 하나.",
     nullptr},
    {"detail", rejected_detail, nullptr, "사유가 가리키는 축이나 제약의 이름. 없으면 `None`.",
     nullptr},
    {"fused", rejected_fused, nullptr, "융합까지 갔다면 그 점수.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef rejected_members[] = {
    {"candidate", T_OBJECT_EX, offsetof(RejectedObject, candidate), READONLY, kCandidateDoc},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot rejected_slots[] = {
    {Py_tp_doc, const_cast<char*>("떨어진 후보 하나.")},
    {Py_tp_dealloc, as_slot(rejected_dealloc)},
    {Py_tp_traverse, as_slot(rejected_traverse)},
    {Py_tp_clear, as_slot(rejected_clear)},
    {Py_tp_repr, as_slot(rejected_repr)},
    {Py_tp_getset, rejected_getters},
    {Py_tp_members, rejected_members},
    {0, nullptr},
};

// ---- Outcome

int outcome_traverse(PyObject* self, visitproc visit, void* arg) {
  OutcomeObject* outcome = as_outcome(self);
  Py_VISIT(Py_TYPE(self));
  for (const PyRef& ranked : outcome->ranked) Py_VISIT(ranked.get());
  for (const PyRef& rejected : outcome->rejected) Py_VISIT(rejected.get());
  Py_VISIT(outcome->rejected_counts);
  Py_VISIT(outcome->selection);
  Py_VISIT(outcome->trace);
  return 0;
}

int outcome_clear(PyObject* self) {
  OutcomeObject* outcome = as_outcome(self);
  // Dropping a reference may run Python code that reads this outcome: take the lists out
  // first, so that code finds them empty rather than half destroyed.
  std::vector<PyRef> ranked = std::exchange(outcome->ranked, {});
  std::vector<PyRef> rejected = std::exchange(outcome->rejected, {});
  ranked.clear();
  rejected.clear();
  Py_CLEAR(outcome->rejected_counts);
  Py_CLEAR(outcome->selection);
  Py_CLEAR(outcome->trace);
  return 0;
}

void outcome_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  outcome_clear(self);
  OutcomeObject* outcome = as_outcome(self);
  std::destroy_at(&outcome->ranked);
  std::destroy_at(&outcome->rejected);
  free_object(self);
}

PyObject* outcome_ranked(PyObject* self, void*) {
  return new_list_of(as_outcome(self)->ranked);
}

PyObject* outcome_rejected(PyObject* self, void*) {
  return new_list_of(as_outcome(self)->rejected);
}

PyObject* outcome_is_complete(PyObject* self, PyObject*) {
  OutcomeObject* outcome = as_outcome(self);
  if (outcome->rejected_counts == nullptr) {
    raise_cleared(self, "rejected_counts");
    return nullptr;
  }
  // A snapshot of the values, since converting one may run Python code that edits the dict.
  PyRef values = PyRef::steal(PyDict_Values(outcome->rejected_counts));
  if (!values) return nullptr;
  uint64_t total = 0;
  Py_ssize_t count = PyList_Size(values.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyRef value = PyRef::borrow(PyList_GetItem(values.get(), i));
    uint64_t n = 0;
    if (!value || !u64_from(value.get(), &n)) return nullptr;
    total += n;  // wraps, as unsigned arithmetic does
  }
  PyRef trace = PyRef::borrow(outcome->trace);
  if (!trace) {
    raise_cleared(self, "trace");
    return nullptr;
  }
  PyRef key = PyRef::steal(PyUnicode_FromString("input_count"));
  if (!key) return nullptr;
  PyRef input_count = PyRef::borrow(PyDict_GetItemWithError(trace.get(), key.get()));
  if (!input_count) {
    if (!PyErr_Occurred()) raise_with_text(engine_error_class(), "기록에 input_count 가 없다");
    return nullptr;
  }
  uint64_t expected = 0;
  if (!u64_from(input_count.get(), &expected)) return nullptr;
  uint64_t ranked = static_cast<uint64_t>(outcome->ranked.size());
  return PyBool_FromLong(total + ranked == expected);
}

// Some(true) / Some(false) for a bool "exact" entry of the current selection dict, None for
// anything else, including a lookup that fails.
const char* exact_flag(const OutcomeObject* outcome) {
  PyRef selection = PyRef::borrow(outcome->selection);
  if (!selection) return "None";
  PyRef key = PyRef::steal(PyUnicode_FromString("exact"));
  PyObject* exact = key ? PyDict_GetItemWithError(selection.get(), key.get()) : nullptr;
  if (exact == nullptr) {
    PyErr_Clear();
    return "None";
  }
  if (!PyBool_Check(exact)) return "None";
  return exact == Py_True ? "Some(true)" : "Some(false)";
}

PyObject* outcome_repr(PyObject* self) {
  return with_native_failures([&]() -> PyObject* {
    const OutcomeObject* outcome = as_outcome(self);
    const char* exact = exact_flag(outcome);
    std::string text = "Outcome(ranked=" + std::to_string(outcome->ranked.size()) +
                       ", rejected=" + std::to_string(outcome->rejected.size()) + ", exact=";
    text.append(exact).push_back(')');
    return py_text(text).release();
  });
}

PyGetSetDef outcome_getters[] = {
    {"ranked", outcome_ranked, nullptr, "골라진 것들. 순위 오름차순이다.", nullptr},
    {"rejected", outcome_rejected, nullptr, "떨어진 것들. 보관 정책이 정한 만큼만 들어 있다.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef outcome_members[] = {
    {"rejected_counts", T_OBJECT_EX, offsetof(OutcomeObject, rejected_counts), READONLY,
     "사유별 탈락 개수. 보관 정책과 무관하게 언제나 정확하다."},
    {"selection", T_OBJECT_EX, offsetof(OutcomeObject, selection), READONLY,
     "선택의 성질. `exact`, `guarantee`, `pool_size`, `pool_exhausted`, `cut_margin`."},
    {"trace", T_OBJECT_EX, offsetof(OutcomeObject, trace), READONLY,
     "실행 기록. 입력 수, 풀 크기, 승인 채점기, 채점기별 호출 횟수, 예산 근거."},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef outcome_methods[] = {
    {"is_complete", as_method(outcome_is_complete), METH_NOARGS,
     "is_complete($self)\n--\n\n완전성 불변식. 결과 수와 탈락 수의 합이 입력 수와 같은가."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot outcome_slots[] = {
    {Py_tp_doc, const_cast<char*>("실행 결과 전부.")},
    {Py_tp_dealloc, as_slot(outcome_dealloc)},
    {Py_tp_traverse, as_slot(outcome_traverse)},
    {Py_tp_clear, as_slot(outcome_clear)},
    {Py_tp_repr, as_slot(outcome_repr)},
    {Py_tp_getset, outcome_getters},
    {Py_tp_members, outcome_members},
    {Py_tp_methods, outcome_methods},
    {0, nullptr},
};

// ---- The classes

PyType_Spec ranked_type_spec = {"korvane.Ranked", static_cast<int>(sizeof(RankedObject)), 0,
                                kResultFlags, ranked_slots};
PyType_Spec rejected_type_spec = {"korvane.Rejected", static_cast<int>(sizeof(RejectedObject)), 0,
                                  kResultFlags, rejected_slots};
PyType_Spec outcome_type_spec = {"korvane.Outcome", static_cast<int>(sizeof(OutcomeObject)), 0,
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

PyObject* new_ranked(RankedFields&& fields) {
  PyObject* self = allocate(ranked_type());
  if (self == nullptr) return nullptr;
  RankedObject* ranked = as_ranked(self);
  new (&ranked->id) std::string(std::move(fields.id));
  new (&ranked->constraints) std::vector<std::string>(std::move(fields.constraints));
  new (&ranked->json) std::string(std::move(fields.json));
  ranked->rank = fields.rank;
  ranked->fused = fields.fused;
  ranked->scores = fields.scores.release();
  ranked->fusion = fields.fusion.release();
  ranked->candidate = fields.candidate.release();
  return self;
}

PyObject* new_rejected(RejectedFields&& fields) {
  PyObject* self = allocate(rejected_type());
  if (self == nullptr) return nullptr;
  RejectedObject* rejected = as_rejected(self);
  new (&rejected->id) std::string(std::move(fields.id));
  new (&rejected->reason) std::string_view(fields.reason);
  new (&rejected->detail) std::optional<std::string>(std::move(fields.detail));
  new (&rejected->fused) std::optional<float>(fields.fused);
  rejected->candidate = fields.candidate.release();
  return self;
}

PyObject* new_outcome(OutcomeFields&& fields) {
  PyObject* self = allocate(outcome_type());
  if (self == nullptr) return nullptr;
  OutcomeObject* outcome = as_outcome(self);
  new (&outcome->ranked) std::vector<PyRef>(std::move(fields.ranked));
  new (&outcome->rejected) std::vector<PyRef>(std::move(fields.rejected));
  outcome->rejected_counts = fields.rejected_counts.release();
  outcome->selection = fields.selection.release();
  outcome->trace = fields.trace.release();
  return self;
}

}  // namespace korvane::python
