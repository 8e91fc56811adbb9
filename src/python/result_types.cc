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
#include "python/handle_object.h"
#include "python/py_values.h"
#include "python/result_dicts.h"
#include "audit/audit_json.h"

namespace korvane::python {

namespace {

// Objects are laid out as PyObject_HEAD, then the object fields (the candidate addressed by
// offset for its member descriptor; the dicts null until first read), then the native
// record, constructed in place after allocation.
struct RankedObject {
  PyObject_HEAD PyObject* candidate;
  PyObject* scores;
  PyObject* fusion;
  RankedEntry entry;  // its candidate's object has moved to `candidate`
  std::shared_ptr<const RunLabels> labels;
};

struct RejectedObject {
  PyObject_HEAD PyObject* candidate;
  RejectedEntry entry;  // its candidate's object has moved to `candidate`
};

struct OutcomeObject {
  PyObject_HEAD PyObject* rejected_counts;
  PyObject* selection;
  PyObject* trace;
  // Ranked objects for ranked_pending[0, ranked.size()); the entries after that still hold
  // their candidates' objects.
  std::vector<PyRef> ranked;
  std::vector<RankedEntry> ranked_pending;
  std::shared_ptr<const RunLabels> labels;
  // Rejected objects for pending[0, rejected.size()); the entries after that still hold
  // their candidates' objects.
  std::vector<PyRef> rejected;
  RejectedEntries pending;
  RejectCounts counts;
  SelectionProperties selection_record;
  RunTrace trace_record;
  std::vector<bool> expensive;
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

// The dict in *slot, built by `build` on the first read; a new reference.
template <class Build>
PyObject* cached_dict(PyObject** slot, Build build) {
  if (*slot == nullptr) {
    PyRef dict = build();
    if (!dict) return nullptr;
    // Building may have run code that filled the slot meanwhile; the first one stays.
    if (*slot == nullptr) *slot = dict.release();
  }
  Py_INCREF(*slot);
  return *slot;
}

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
  std::destroy_at(&as_ranked(self)->entry);
  std::destroy_at(&as_ranked(self)->labels);
  free_object(self);
}

PyObject* ranked_id(PyObject* self, void*) {
  return with_native_failures(
      [&] { return py_text(as_ranked(self)->entry.candidate.id.display()).release(); });
}

PyObject* ranked_rank(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(as_ranked(self)->entry.rank);
}

PyObject* ranked_fused(PyObject* self, void*) {
  return py_float(as_ranked(self)->entry.fused).release();
}

PyObject* ranked_scores(PyObject* self, void*) {
  RankedObject* ranked = as_ranked(self);
  return with_native_failures([&] {
    return cached_dict(&ranked->scores,
                       [&] { return scores_dict(ranked->entry.scores, *ranked->labels); });
  });
}

PyObject* ranked_fusion(PyObject* self, void*) {
  RankedObject* ranked = as_ranked(self);
  return with_native_failures([&] {
    return cached_dict(&ranked->fusion,
                       [&] { return fusion_dict(ranked->entry.fusion, *ranked->labels); });
  });
}

PyObject* ranked_constraints(PyObject* self, void*) {
  const std::vector<std::string>& constraints = as_ranked(self)->labels->constraints;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(constraints.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < constraints.size(); ++i) {
    PyObject* text = py_text(constraints[i]).release();
    if (text == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), text);
  }
  return list.release();
}

// The text depends on the native record alone, which never changes: the same text on every
// call, whatever became of the dicts.
PyObject* ranked_to_json(PyObject* self, PyObject*) {
  const RankedObject* ranked = as_ranked(self);
  return with_native_failures(
      [&] { return py_text(audit_json(ranked->entry, *ranked->labels)).release(); });
}

PyObject* ranked_repr(PyObject* self) {
  return with_native_failures([&]() -> PyObject* {
    const RankedEntry& entry = as_ranked(self)->entry;
    std::string text = "Ranked(rank=" + std::to_string(entry.rank) + ", id=";
    text.append(entry.candidate.id.display()).append(", fused=").append(positional_float(entry.fused));
    text.push_back(')');
    return py_text(text).release();
  });
}

PyGetSetDef ranked_getters[] = {
    {"id", ranked_id, nullptr, kIdDoc, nullptr},
    {"rank", ranked_rank, nullptr, "1 부터 시작하는 순위.", nullptr},
    {"fused", ranked_fused, nullptr, "융합 점수.", nullptr},
    {"scores", ranked_scores, nullptr, "융합 전 원본 점수. 값이 없던 축은 `None` 이다.", nullptr},
    {"fusion", ranked_fusion, nullptr, "어떻게 합쳤는가.", nullptr},
    {"constraints", ranked_constraints, nullptr, "이 후보가 통과한 집합 제약들.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef ranked_members[] = {
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
  std::destroy_at(&as_rejected(self)->entry);
  free_object(self);
}

PyObject* rejected_id(PyObject* self, void*) {
  return with_native_failures(
      [&] { return py_text(as_rejected(self)->entry.candidate.id.display()).release(); });
}

PyObject* rejected_reason(PyObject* self, void*) {
  return py_text(name(as_rejected(self)->entry.reason.kind)).release();
}

PyObject* rejected_detail(PyObject* self, void*) {
  const RejectReason& reason = as_rejected(self)->entry.reason;
  if (!reason.carries_name()) Py_RETURN_NONE;
  return py_text(reason.name).release();
}

PyObject* rejected_fused(PyObject* self, void*) {
  return py_optional_float(as_rejected(self)->entry.fused).release();
}

PyObject* rejected_repr(PyObject* self) {
  return with_native_failures([&]() -> PyObject* {
    const RejectedEntry& entry = as_rejected(self)->entry;
    std::string text = "Rejected(id=" + entry.candidate.id.display() + ", reason=";
    text.append(name(entry.reason.kind)).push_back(')');
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

// A Rejected for `entry`, whose candidate's object moves into it; the entry is left as it
// was when the object cannot be made.
PyObject* new_rejected(RejectedEntry& entry) {
  PyRef candidate = PyRef::steal(new_object_of(entry.candidate.object));
  if (!candidate) return nullptr;
  PyObject* self = allocate(rejected_type());
  if (self == nullptr) return nullptr;
  RejectedObject* rejected = as_rejected(self);
  new (&rejected->entry) RejectedEntry();
  rejected->entry.reason = std::move(entry.reason);
  rejected->entry.candidate.id = std::move(entry.candidate.id);
  rejected->entry.fused = entry.fused;
  entry.candidate.object.reset();
  rejected->candidate = candidate.release();
  return self;
}

// A Ranked for `entry`, whose candidate's object moves into it; the entry is left as it was
// when the object cannot be made.
PyObject* new_ranked(RankedEntry& entry, const std::shared_ptr<const RunLabels>& labels) {
  PyRef candidate = PyRef::steal(new_object_of(entry.candidate.object));
  if (!candidate) return nullptr;
  PyObject* self = allocate(ranked_type());
  if (self == nullptr) return nullptr;
  RankedObject* ranked = as_ranked(self);
  new (&ranked->entry) RankedEntry();
  ranked->entry.candidate.id = std::move(entry.candidate.id);
  ranked->entry.scores = std::move(entry.scores);
  ranked->entry.fusion = std::move(entry.fusion);
  ranked->entry.rank = entry.rank;
  ranked->entry.fused = entry.fused;
  new (&ranked->labels) std::shared_ptr<const RunLabels>(labels);
  entry.candidate = Candidate();  // what is left of it is not read again
  ranked->candidate = candidate.release();
  return self;
}

// ---- Outcome

int outcome_traverse(PyObject* self, visitproc visit, void* arg) {
  OutcomeObject* outcome = as_outcome(self);
  Py_VISIT(Py_TYPE(self));
  for (const PyRef& ranked : outcome->ranked) Py_VISIT(ranked.get());
  for (size_t i = outcome->ranked.size(); i < outcome->ranked_pending.size(); ++i) {
    Py_VISIT(held_object(outcome->ranked_pending[i].candidate.object));
  }
  for (const PyRef& rejected : outcome->rejected) Py_VISIT(rejected.get());
  for (size_t i = outcome->rejected.size(); i < outcome->pending.size(); ++i) {
    Py_VISIT(held_object(outcome->pending[i].candidate.object));
  }
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
  std::vector<RankedEntry> ranked_pending = std::exchange(outcome->ranked_pending, {});
  std::vector<PyRef> rejected = std::exchange(outcome->rejected, {});
  RejectedEntries pending = std::exchange(outcome->pending, {});
  ranked.clear();
  ranked_pending.clear();
  rejected.clear();
  pending.clear();
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
  std::destroy_at(&outcome->ranked_pending);
  std::destroy_at(&outcome->labels);
  std::destroy_at(&outcome->rejected);
  std::destroy_at(&outcome->pending);
  std::destroy_at(&outcome->trace_record);
  std::destroy_at(&outcome->expensive);
  free_object(self);
}

// Makes the Ranked objects still missing, in rank order. A failure leaves the ones made so
// far in place, and the next read goes on from there.
bool make_ranked(OutcomeObject* outcome) {
  while (outcome->ranked.size() < outcome->ranked_pending.size()) {
    const size_t index = outcome->ranked.size();
    PyRef ranked = PyRef::steal(new_ranked(outcome->ranked_pending[index], outcome->labels));
    if (!ranked) return false;
    // A collection while it was made may have run a finalizer that read `ranked` and made
    // this one first; that one stands.
    if (outcome->ranked.size() != index) continue;
    outcome->ranked.push_back(std::move(ranked));
  }
  return true;
}

PyObject* outcome_ranked(PyObject* self, void*) {
  return with_native_failures([&]() -> PyObject* {
    OutcomeObject* outcome = as_outcome(self);
    if (!make_ranked(outcome)) return nullptr;
    return new_list_of(outcome->ranked);
  });
}

// Makes the Rejected objects still missing, in drop order. A failure leaves the ones made so
// far in place, and the next read goes on from there.
bool make_rejected(OutcomeObject* outcome) {
  while (outcome->rejected.size() < outcome->pending.size()) {
    const size_t index = outcome->rejected.size();
    PyRef rejected = PyRef::steal(new_rejected(outcome->pending[index]));
    if (!rejected) return false;
    if (outcome->rejected.size() != index) continue;  // as in make_ranked
    outcome->rejected.push_back(std::move(rejected));
  }
  return true;
}

PyObject* outcome_rejected(PyObject* self, void*) {
  return with_native_failures([&]() -> PyObject* {
    OutcomeObject* outcome = as_outcome(self);
    if (!make_rejected(outcome)) return nullptr;
    return new_list_of(outcome->rejected);
  });
}

PyObject* outcome_counts(PyObject* self, void*) {
  OutcomeObject* outcome = as_outcome(self);
  return with_native_failures([&] {
    return cached_dict(&outcome->rejected_counts, [&] { return counts_dict(outcome->counts); });
  });
}

PyObject* outcome_selection(PyObject* self, void*) {
  OutcomeObject* outcome = as_outcome(self);
  return with_native_failures([&] {
    return cached_dict(&outcome->selection,
                       [&] { return selection_dict(outcome->selection_record); });
  });
}

PyObject* outcome_trace(PyObject* self, void*) {
  OutcomeObject* outcome = as_outcome(self);
  return with_native_failures([&] {
    return cached_dict(&outcome->trace,
                       [&] { return trace_dict(outcome->trace_record, outcome->expensive); });
  });
}

// Reads the current dicts; one never read is built first, which gives what the record says.
PyObject* outcome_is_complete(PyObject* self, PyObject*) {
  OutcomeObject* outcome = as_outcome(self);
  PyRef counts = PyRef::steal(outcome_counts(self, nullptr));
  if (!counts) return nullptr;
  // A snapshot of the values, since converting one may run Python code that edits the dict.
  PyRef values = PyRef::steal(PyDict_Values(counts.get()));
  if (!values) return nullptr;
  uint64_t total = 0;
  Py_ssize_t count = PyList_Size(values.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyRef value = PyRef::borrow(PyList_GetItem(values.get(), i));
    uint64_t n = 0;
    if (!value || !u64_from(value.get(), &n)) return nullptr;
    total += n;  // wraps, as unsigned arithmetic does
  }
  PyRef trace = PyRef::steal(outcome_trace(self, nullptr));
  if (!trace) return nullptr;
  PyRef key = PyRef::steal(PyUnicode_FromString("input_count"));
  if (!key) return nullptr;
  PyRef input_count = PyRef::borrow(PyDict_GetItemWithError(trace.get(), key.get()));
  if (!input_count) {
    if (!PyErr_Occurred()) raise_with_text(engine_error_class(), "기록에 input_count 가 없다");
    return nullptr;
  }
  uint64_t expected = 0;
  if (!u64_from(input_count.get(), &expected)) return nullptr;
  uint64_t ranked = static_cast<uint64_t>(outcome->ranked_pending.size());
  return PyBool_FromLong(total + ranked == expected);
}

// Some(true) / Some(false) for a bool "exact" entry of the current selection dict, None for
// anything else, including a lookup that fails. A dict never read holds the record's value.
const char* exact_flag(const OutcomeObject* outcome) {
  if (outcome->selection == nullptr) {
    return outcome->selection_record.exact ? "Some(true)" : "Some(false)";
  }
  PyRef selection = PyRef::borrow(outcome->selection);
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
    std::string text = "Outcome(ranked=" + std::to_string(outcome->ranked_pending.size()) +
                       ", rejected=" + std::to_string(outcome->pending.size()) + ", exact=";
    text.append(exact).push_back(')');
    return py_text(text).release();
  });
}

PyGetSetDef outcome_getters[] = {
    {"ranked", outcome_ranked, nullptr, "골라진 것들. 순위 오름차순이다.", nullptr},
    {"rejected", outcome_rejected, nullptr, "떨어진 것들. 보관 정책이 정한 만큼만 들어 있다.",
     nullptr},
    {"rejected_counts", outcome_counts, nullptr,
     "사유별 탈락 개수. 보관 정책과 무관하게 언제나 정확하다.", nullptr},
    {"selection", outcome_selection, nullptr,
     "선택의 성질. `exact`, `guarantee`, `pool_size`, `pool_exhausted`, `cut_margin`.", nullptr},
    {"trace", outcome_trace, nullptr,
     "실행 기록. 입력 수, 풀 크기, 승인 채점기, 채점기별 호출 횟수, 예산 근거.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
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

PyObject* new_outcome(OutcomeFields&& fields) {
  PyObject* self = allocate(outcome_type());
  if (self == nullptr) return nullptr;
  OutcomeObject* outcome = as_outcome(self);
  new (&outcome->ranked) std::vector<PyRef>();
  new (&outcome->ranked_pending) std::vector<RankedEntry>(std::move(fields.ranked));
  new (&outcome->labels) std::shared_ptr<const RunLabels>(std::move(fields.labels));
  new (&outcome->rejected) std::vector<PyRef>();
  new (&outcome->pending) RejectedEntries(std::move(fields.rejected));
  new (&outcome->counts) RejectCounts(fields.counts);
  new (&outcome->selection_record) SelectionProperties(fields.selection);
  new (&outcome->trace_record) RunTrace(std::move(fields.trace));
  new (&outcome->expensive) std::vector<bool>(std::move(fields.expensive));
  return self;
}

}  // namespace korvane::python
