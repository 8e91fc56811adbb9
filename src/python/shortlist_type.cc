#include "python/shortlist_type.h"

#include <cstddef>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/shortlist_codec.h"
#include "python/errors.h"
#include "python/handle_object.h"
#include "python/py_ref.h"
#include "python/py_values.h"

namespace korvane::python {

namespace {

constexpr std::string_view kNotShortlistPrefix =
    "run_shortlists 는 Engine.shortlist 가 만든 Shortlist 만 받는다. 받은 값의 형식 '";
constexpr std::string_view kOtherSettingsMessage =
    "다른 설정의 엔진이 만든 shortlist 다. 같은 설정에서 만든 shortlist 만 합칠 수 있다";
constexpr std::string_view kBadStateMessage = "Shortlist 를 되살릴 수 없다. 저장된 값이 깨졌다";
constexpr uint64_t kStateVersion = 1;

struct ShortlistObject {
  PyObject_HEAD Shortlist shortlist;  // its candidates' objects: Python objects or rows
  uint64_t fingerprint;
};

ShortlistObject* as_shortlist(PyObject* self) {
  return reinterpret_cast<ShortlistObject*>(self);
}

// Every candidate handle the shortlist holds, members first, then kept drops.
template <class Visit>
void each_handle(Shortlist& shortlist, Visit&& visit) {
  for (PoolRecord& member : shortlist.members) visit(member.candidate.object);
  for (RejectedEntry& entry : shortlist.rejected) visit(entry.candidate.object);
}

ObjectHandle new_handle(PyObject* object) {
  if (object == nullptr) return ObjectHandle();
  Py_INCREF(object);
  return ObjectHandle(object, release_python_object);
}

// Another handle to what `handle` holds: the same object, or the same row.
ObjectHandle copy_handle(const ObjectHandle& handle) {
  if (handle.is_row()) return ObjectHandle::Row(handle.row());
  return new_handle(held_object(handle));
}

int shortlist_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  int result = 0;
  each_handle(as_shortlist(self)->shortlist, [&](ObjectHandle& handle) {
    PyObject* object = held_object(handle);
    if (result == 0 && object != nullptr) result = visit(object, arg);
  });
  return result;
}

int shortlist_clear(PyObject* self) {
  // Releasing may run Python code that reads this object: take the records out first.
  Shortlist taken = std::move(as_shortlist(self)->shortlist);
  as_shortlist(self)->shortlist = Shortlist();
  return 0;
}

void shortlist_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  shortlist_clear(self);
  std::destroy_at(&as_shortlist(self)->shortlist);
  PyTypeObject* type = Py_TYPE(self);
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

PyObject* shortlist_input_count(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_shortlist(self)->shortlist.input_count);
}

PyObject* shortlist_pool_size(PyObject* self, void*) {
  return PyLong_FromSize_t(as_shortlist(self)->shortlist.members.size());
}

PyObject* shortlist_repr(PyObject* self) {
  return with_native_failures([&]() -> PyObject* {
    const Shortlist& shortlist = as_shortlist(self)->shortlist;
    std::string text = "Shortlist(input_count=" + std::to_string(shortlist.input_count) +
                       ", pool_size=" + std::to_string(shortlist.members.size()) + ")";
    return py_text(text).release();
  });
}

// (version, fingerprint, axis count, group count, bytes, objects), the objects in candidate
// order.
PyObject* shortlist_reduce(PyObject* self, PyObject*) {
  return with_native_failures([&]() -> PyObject* {
    ShortlistObject* object = as_shortlist(self);
    Shortlist& shortlist = object->shortlist;
    const std::string bytes = encode_shortlist(shortlist);
    // A row travels as its int, as the Ranked or Rejected of the row would show it.
    std::vector<PyRef> objects;
    bool made = true;
    each_handle(shortlist, [&](ObjectHandle& handle) {
      if (made) objects.push_back(PyRef::steal(new_object_of(handle)));
      made = made && objects.back();
    });
    if (!made) return nullptr;
    PyRef items = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(objects.size())));
    if (!items) return nullptr;
    for (size_t i = 0; i < objects.size(); ++i) {
      PyTuple_SetItem(items.get(), static_cast<Py_ssize_t>(i), objects[i].release());
    }
    const size_t axes = shortlist.axes.size();
    const size_t groups = shortlist.members.empty() ? 0 : shortlist.members[0].candidate.groups.size();
    PyRef restore = PyRef::steal(PyObject_GetAttrString(
        reinterpret_cast<PyObject*>(Py_TYPE(self)), "_from_state"));
    if (!restore) return nullptr;
    return Py_BuildValue("(O((KKnny#O)))", restore.get(), kStateVersion, object->fingerprint, axes,
                         groups, bytes.data(), static_cast<Py_ssize_t>(bytes.size()), items.get());
  });
}

PyObject* shortlist_from_state(PyObject* type, PyObject* args) {
  return with_native_failures([&]() -> PyObject* {
    unsigned long long version = 0, fingerprint = 0;
    Py_ssize_t axes = 0, groups = 0;
    const char* data = nullptr;
    Py_ssize_t size = 0;
    PyObject* objects = nullptr;
    if (!PyArg_ParseTuple(args, "(KKnny#O!):Shortlist._from_state", &version, &fingerprint,
                          &axes, &groups, &data, &size, &PyTuple_Type, &objects)) {
      return nullptr;
    }
    std::optional<Shortlist> decoded;
    if (version == kStateVersion && axes >= 0 && groups >= 0) {
      decoded = decode_shortlist(std::string_view(data, static_cast<size_t>(size)),
                                 static_cast<size_t>(axes), static_cast<size_t>(groups));
    }
    const size_t expected = decoded ? decoded->members.size() + decoded->rejected.size() : 0;
    if (!decoded || static_cast<size_t>(PyTuple_Size(objects)) != expected) {
      raise_with_text(PyExc_ValueError, kBadStateMessage);
      return nullptr;
    }
    Py_ssize_t next = 0;
    each_handle(*decoded, [&](ObjectHandle& handle) {
      handle = new_handle(PyTuple_GetItem(objects, next++));
    });
    (void)type;
    return new_shortlist(*decoded, fingerprint);
  });
}

PyGetSetDef shortlist_getters[] = {
    {"input_count", shortlist_input_count, nullptr, "1단계가 읽은 후보 수.", nullptr},
    {"pool_size", shortlist_pool_size, nullptr, "풀에 남은 후보 수.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class Function>
PyCFunction as_method(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef shortlist_methods[] = {
    {"__reduce__", as_method(shortlist_reduce), METH_NOARGS, nullptr},
    {"_from_state", as_method(shortlist_from_state), METH_VARARGS | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot shortlist_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "1단계까지 돈 결과 하나. 풀의 후보, 1단계 탈락 수와 기록을 값으로 담는다.\n\n"
                    "pickle 로 다른 프로세스에 보낼 수 있고, Engine.run_shortlists 가 같은 설정의\n"
                    "것끼리 합쳐 나머지를 돈다.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(shortlist_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(shortlist_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(shortlist_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(shortlist_repr)},
    {Py_tp_getset, shortlist_getters},
    {Py_tp_methods, shortlist_methods},
    {0, nullptr},
};

PyType_Spec shortlist_type_spec = {
    "korvane.Shortlist", static_cast<int>(sizeof(ShortlistObject)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    shortlist_slots};

PyTypeObject* shortlist_class = nullptr;

}  // namespace

PyTypeObject* shortlist_type() {
  if (shortlist_class == nullptr) {
    shortlist_class = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&shortlist_type_spec));
  }
  return shortlist_class;
}

PyObject* new_shortlist(Shortlist& shortlist, uint64_t fingerprint) {
  PyTypeObject* type = shortlist_type();
  if (type == nullptr) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  ShortlistObject* object = as_shortlist(self);
  new (&object->shortlist) Shortlist(std::move(shortlist));
  object->fingerprint = fingerprint;
  return self;
}

bool copy_shortlist(PyObject* object, uint64_t fingerprint, Shortlist* out) {
  PyTypeObject* type = shortlist_type();
  if (type == nullptr) return false;
  if (!PyObject_TypeCheck(object, type)) {
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
    if (!name) return false;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text == nullptr) return false;
    std::string message(kNotShortlistPrefix);
    message.append(text, static_cast<size_t>(size)).append("'");
    raise_with_text(PyExc_TypeError, message);
    return false;
  }
  ShortlistObject* held = as_shortlist(object);
  if (held->fingerprint != fingerprint) {
    raise_with_text(PyExc_ValueError, kOtherSettingsMessage);
    return false;
  }
  const Shortlist& from = held->shortlist;
  Shortlist copy;
  copy.members.resize(from.members.size());
  for (size_t m = 0; m < from.members.size(); ++m) {
    const PoolRecord& source = from.members[m];
    PoolRecord& target = copy.members[m];
    target.candidate.values = source.candidate.values;
    target.candidate.groups = source.candidate.groups;
    target.candidate.cover = source.candidate.cover;
    target.candidate.id = source.candidate.id;
    target.candidate.cost = source.candidate.cost;
    target.candidate.object = copy_handle(source.candidate.object);
    target.axis_values = source.axis_values;
  }
  copy.admission = from.admission;
  copy.arrival = from.arrival;
  copy.input_count = from.input_count;
  copy.axes = from.axes;
  copy.counts = from.counts;
  copy.rejected.resize(from.rejected.size());
  for (size_t r = 0; r < from.rejected.size(); ++r) {
    copy.rejected[r].reason = from.rejected[r].reason;
    copy.rejected[r].candidate.id = from.rejected[r].candidate.id;
    copy.rejected[r].candidate.object = copy_handle(from.rejected[r].candidate.object);
    copy.rejected[r].fused = from.rejected[r].fused;
  }
  *out = std::move(copy);
  return true;
}

}  // namespace korvane::python
