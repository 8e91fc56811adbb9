#include "python/columns/list_join.h"

#include <string_view>
#include <unordered_map>
#include <utility>

#include "python/columns/column_messages.h"
#include "python/convert.h"
#include "python/errors.h"

namespace korvane::python {

namespace {

constexpr std::string_view kCoverShapeMessage = "'cover' 는 순서열이어야 한다";

// The candidate's object for an id read from a buffer or an Arrow array: a new int or str.
PyRef object_of_key(const IdKey& key) {
  if (key.kind == IdKey::Kind::kInteger) {
    if (!key.negative) return PyRef::steal(PyLong_FromUnsignedLongLong(key.magnitude));
    return PyRef::steal(PyLong_FromLongLong(static_cast<long long>(~key.magnitude + 1)));
  }
  return PyRef::steal(
      PyUnicode_FromStringAndSize(key.text.data(), static_cast<Py_ssize_t>(key.text.size())));
}

// Adds the note "while processing '<what>[<id>]'" to the pending exception.
bool noted(std::string_view what, const CandidateId& id) {
  std::string where(what);
  where.append("[").append(id.display()).append("]");
  note_parameter(where.c_str());
  return false;
}

// The entry for `object` in the dict's own storage (no __missing__), held while it is
// converted; empty when there is none. False when the lookup raised.
bool entry(PyObject* by_id, PyObject* object, PyRef* out) {
  PyObject* value = PyDict_GetItemWithError(by_id, object);
  if (value == nullptr && PyErr_Occurred()) return false;
  *out = PyRef::borrow(value);
  return true;
}

}  // namespace

std::optional<float> RankedList::value(int64_t row) const {
  if (scores) return scores->score(row);
  return static_cast<float>(-static_cast<double>(row + 1));
}

bool JoinedLists::join(const std::vector<RankedList>& lists, const std::optional<IdKey>& pad) {
  list_count = lists.size();
  std::unordered_map<IdKey, size_t, IdKeyHash> seen;
  for (size_t list = 0; list < lists.size(); ++list) {
    const Column& column = lists[list].ids;
    for (int64_t row = 0; row < column.length(); ++row) {
      IdKey key = column.key(row);
      if (key.kind == IdKey::Kind::kOther) {
        return raise_id_not_joinable(column.name(), row,
                                     static_cast<PyObject*>(column.object(row)));
      }
      if (pad && pad->matches(key)) continue;
      auto [found, added] = seen.try_emplace(std::move(key), ids.size());
      if (added) {
        PyObject* given = static_cast<PyObject*>(column.object(row));
        PyRef object = given != nullptr ? PyRef::borrow(given) : object_of_key(found->first);
        if (!object) {
          note_parameter((column.name() + "[" + std::to_string(row) + "]").c_str());
          return false;
        }
        ids.push_back(column.id(row));
        objects.push_back(std::move(object));
        rows.resize(rows.size() + list_count, -1);
      }
      int64_t& at = rows[found->second * list_count + list];
      if (at < 0) at = row;  // a repeated id keeps its first, best-placed row
    }
  }
  return true;
}

bool JoinedLists::read_groups(PyObject* by_id, const std::string& name,
                              const std::vector<size_t>& positions, size_t position_count) {
  groups.resize(size() * position_count);
  for (size_t candidate = 0; candidate < size(); ++candidate) {
    PyRef value;
    if (!entry(by_id, objects[candidate].get(), &value)) return noted(name, ids[candidate]);
    if (!value || value.get() == Py_None) continue;
    std::string text;
    if (!str_text_from(value.get(), &text)) return noted(name, ids[candidate]);
    for (size_t position : positions) groups[candidate * position_count + position] = text;
  }
  return true;
}

bool JoinedLists::read_costs(PyObject* by_id) {
  costs.assign(size(), 0);
  for (size_t candidate = 0; candidate < size(); ++candidate) {
    PyRef value;
    if (!entry(by_id, objects[candidate].get(), &value)) return noted("cost", ids[candidate]);
    if (!value || value.get() == Py_None) continue;
    if (!u32_from(value.get(), &costs[candidate])) return noted("cost", ids[candidate]);
  }
  return true;
}

bool JoinedLists::read_covers(PyObject* by_id, SequenceCheck& sequences) {
  covers.assign(size(), {});
  for (size_t candidate = 0; candidate < size(); ++candidate) {
    PyRef value;
    if (!entry(by_id, objects[candidate].get(), &value)) return noted("cover", ids[candidate]);
    if (!value || value.get() == Py_None) continue;
    const int is_sequence = sequences(value.get());
    if (is_sequence < 0) return noted("cover", ids[candidate]);
    if (is_sequence == 0) {
      raise_with_text(PyExc_ValueError, kCoverShapeMessage);
      return noted("cover", ids[candidate]);
    }
    const Py_ssize_t count = PySequence_Size(value.get());
    if (count < 0) return noted("cover", ids[candidate]);
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyRef item = PyRef::steal(PySequence_GetItem(value.get(), i));
      std::string text;
      if (!item || !str_text_from(item.get(), &text)) return noted("cover", ids[candidate]);
      covers[candidate].push_back(std::move(text));
    }
  }
  return true;
}

}  // namespace korvane::python
