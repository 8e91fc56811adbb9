#include "python/columns/list_join.h"

#include <bit>
#include <cstring>
#include <functional>
#include <limits>
#include <string_view>
#include <utility>

#include "engine/entry_order.h"
#include "python/columns/column_messages.h"
#include "python/convert.h"
#include "python/errors.h"

namespace korvane::python {

namespace {

constexpr std::string_view kCoverShapeMessage = "'cover' 는 순서열이어야 한다";

void release_object(void* object) {
  drop_reference(static_cast<PyObject*>(object));
}

// The smallest power of two holding twice `count` slots, so that probes stay short.
uint64_t table_size(size_t count) {
  uint64_t size = 16;
  while (size < 2 * static_cast<uint64_t>(count)) size <<= 1;
  return size;
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

// The scores' one chunk when it is native float32 with every row present; else null.
const ArrayView* plain_float32(const Column* scores) {
  if (scores == nullptr || scores->chunks().size() != 1) return nullptr;
  const ArrayView* chunk = scores->chunks().front();
  const bool plain = chunk->encoding == ColumnEncoding::kFloat32 && !chunk->byte_swapped &&
                     chunk->validity == nullptr;
  return plain ? chunk : nullptr;
}

// Whether every id chunk of every list is native int64, read in place.
bool all_native_int64(const std::vector<RankedList>& lists) {
  for (const RankedList& list : lists) {
    for (const ArrayView* chunk : list.ids.chunks()) {
      if (chunk->encoding != ColumnEncoding::kInt64 || chunk->byte_swapped) return false;
    }
  }
  return true;
}

}  // namespace

std::optional<float> RankedList::value(int64_t row) const {
  if (scores) return scores->score(row);
  return static_cast<float>(-static_cast<double>(row + 1));
}

// The key of a native int64 id, read in place (the common case of a retriever's ids).
JoinedLists::Key JoinedLists::int64_key(const uint8_t* at) {
  int64_t value;
  std::memcpy(&value, at, sizeof value);
  if (value >= 0) return {IdKey::Kind::kInteger, false, static_cast<uint64_t>(value), {}};
  return {IdKey::Kind::kInteger, true, ~static_cast<uint64_t>(value) + 1, {}};
}

JoinedLists::Key JoinedLists::key_at(const ArrayView& view, int64_t row, std::string* scratch) {
  const ArrayView* at = &view;
  if (view.encoding == ColumnEncoding::kDictionary) {
    at = view.child;
    row = dictionary_row_at(view, row);
  }
  switch (category_of(at->encoding)) {
    case ColumnCategory::kInteger:
    case ColumnCategory::kBool: {
      const IntegerValue value = integer_at(*at, row);
      return Key{IdKey::Kind::kInteger, value.negative, value.magnitude, {}};
    }
    case ColumnCategory::kText:
      scratch->clear();
      append_text_at(*at, row, scratch);
      return Key{IdKey::Kind::kText, false, 0, *scratch};
    case ColumnCategory::kIdentifier: {
      const IdKey& key = at->keys[row];
      return Key{key.kind, key.negative, key.magnitude, key.text};
    }
    default:
      return Key{};
  }
}

uint64_t JoinedLists::hash(const Key& key) {
  uint64_t h = key.kind == IdKey::Kind::kInteger
                   ? key.magnitude
                   : static_cast<uint64_t>(std::hash<std::string_view>()(key.text));
  h ^= (static_cast<uint64_t>(key.kind) << 1 | static_cast<uint64_t>(key.negative)) << 58;
  // Fibonacci hashing: the table takes the well-mixed high bits.
  return h * 0x9e3779b97f4a7c15ull;
}

size_t JoinedLists::find(const Key& key, uint64_t hashed) const {
  const int shift = 64 - std::countr_zero(mask_ + 1);
  size_t slot = static_cast<size_t>(hashed >> shift) & mask_;
  for (;;) {
    const uint32_t held = table_[slot];
    if (held == 0 || keys_[held - 1] == key) return slot;
    slot = (slot + 1) & mask_;
  }
}

std::string_view JoinedLists::keep(std::string_view text) {
  return texts_.emplace_back(text);
}

bool JoinedLists::add(Key key, const ArrayView& view, int64_t local, const Column& column,
                      int64_t row) {
  const ArrayView* at = &view;
  if (view.encoding == ColumnEncoding::kDictionary) {
    at = view.child;
    local = dictionary_row_at(view, local);
  }
  Origin origin;
  IdView id;
  if (at->encoding == ColumnEncoding::kIdentifier) {
    // A Python list's items: its own object, and the identifier it was converted to.
    origin.object = static_cast<PyObject*>(at->objects[local]);
    const CandidateId& given = at->identifiers[local];
    id = given.is_integer() ? IdView::Integer(given.integer()) : IdView::Text(given.text());
  } else if (key.kind == IdKey::Kind::kInteger) {
    const IntegerValue value{key.negative, key.magnitude};
    if (!key.negative) {
      id = IdView::Integer(key.magnitude);
    } else {
      id = IdView::Text(keep(decimal_text(value)));
    }
    constexpr uint64_t kLargest = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (key.magnitude <= kLargest) {
      origin.integer =
          key.negative ? -static_cast<int64_t>(key.magnitude) : static_cast<int64_t>(key.magnitude);
    } else if (key.negative && key.magnitude == kLargest + 1) {
      origin.integer = std::numeric_limits<int64_t>::min();
    } else {
      PyRef made = PyRef::steal(
          key.negative ? PyLong_FromLongLong(static_cast<long long>(~key.magnitude + 1))
                       : PyLong_FromUnsignedLongLong(key.magnitude));
      if (!made) {
        note_parameter((column.name() + "[" + std::to_string(row) + "]").c_str());
        return false;
      }
      origin.object = made.get();
      made_.push_back(std::move(made));
    }
  } else {
    key.text = keep(key.text);
    id = IdView::Text(key.text);
    PyRef made = PyRef::steal(
        PyUnicode_FromStringAndSize(key.text.data(), static_cast<Py_ssize_t>(key.text.size())));
    if (!made) {
      note_parameter((column.name() + "[" + std::to_string(row) + "]").c_str());
      return false;
    }
    origin.object = made.get();
    made_.push_back(std::move(made));
  }
  keys_.push_back(key);
  ids_.push_back(id);
  origins_.push_back(origin);
  text_ids_ |= !id.is_integer;
  return true;
}

inline bool JoinedLists::place(size_t candidate, size_t list, const RankedList& ranked,
                               const ArrayView* plain_scores, int64_t row, float* score) {
  const size_t at = candidate * list_count() + list;
  if (placed_[at]) return false;  // a repeated id keeps its first, best-placed row
  placed_[at] = 1;
  if (plain_scores != nullptr) {
    // As Column::score reads it: NaN stays the mark of no value.
    std::memcpy(score, plain_scores->data + row * plain_scores->stride, sizeof(float));
  } else {
    *score = ranked.value(row).value_or(std::numeric_limits<float>::quiet_NaN());
  }
  values_[at] = *score;
  return true;
}

bool JoinedLists::join_int64(const std::vector<RankedList>& lists,
                             const std::optional<IdKey>& pad) {
  // The pad as an int64, when one can equal it.
  std::optional<int64_t> pad_value;
  if (pad && pad->kind == IdKey::Kind::kInteger) {
    constexpr uint64_t kLargest = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (!pad->negative && pad->magnitude <= kLargest) {
      pad_value = static_cast<int64_t>(pad->magnitude);
    } else if (pad->negative && pad->magnitude <= kLargest + 1) {
      pad_value = static_cast<int64_t>(~pad->magnitude + 1);
    }
  }
  const int shift = 64 - std::countr_zero(mask_ + 1);
  for (size_t list = 0; list < lists.size(); ++list) {
    const RankedList& ranked = lists[list];
    const Column& column = ranked.ids;
    const ArrayView* plain_scores = plain_float32(ranked.scores.get());
    uint32_t* order = orders_[list].data();  // room for every row
    size_t placed = 0;
    // The entry order of the last placed row: its value's key, then its id.
    uint64_t last_key = 0;
    uint64_t last_id = 0;
    bool in_order = true;
    int64_t row = 0;
    for (const ArrayView* chunk : column.chunks()) {
      for (int64_t local = 0; local < chunk->length; ++local, ++row) {
        int64_t value;
        std::memcpy(&value, chunk->data + local * chunk->stride, sizeof value);
        if (pad_value && *pad_value == value) continue;
        const uint64_t bits = static_cast<uint64_t>(value);
        size_t slot = static_cast<size_t>((bits * 0x9e3779b97f4a7c15ull) >> shift) & mask_;
        while (table_[slot] != 0 && int64_keys_[slot] != bits) slot = (slot + 1) & mask_;
        if (table_[slot] == 0) {
          if (value >= 0 && ids_.empty()) {
            native_ids_.push_back(bits);
          } else {
            // A negative id is a text: from here on, every candidate is kept in full.
            for (uint64_t id : native_ids_) {
              ids_.push_back(IdView::Integer(id));
              origins_.push_back(Origin{nullptr, static_cast<int64_t>(id)});
            }
            native_ids_.clear();
            if (value >= 0) {
              ids_.push_back(IdView::Integer(bits));
              origins_.push_back(Origin{nullptr, value});
            } else if (!add(int64_key(chunk->data + local * chunk->stride), *chunk, local, column,
                            row)) {
              return false;
            }
          }
          table_[slot] = static_cast<uint32_t>(size());
          int64_keys_[slot] = bits;
        }
        const uint32_t candidate = table_[slot] - 1;
        float score;
        if (!place(candidate, list, ranked, plain_scores, row, &score)) continue;
        order[placed++] = candidate;
        const uint64_t key = descending_score_key(score);
        in_order &= (score == score) &
                    (placed == 1 || last_key < key || (last_key == key && last_id < bits));
        last_key = key;
        last_id = bits;
      }
    }
    orders_[list].resize(placed);
    in_order_[list] = static_cast<uint8_t>(in_order);
  }
  return true;
}

// The storage of a recycled join.
struct JoinedLists::JoinStorage {
  std::vector<std::vector<uint32_t>> orders;
  std::vector<float> values;
  std::vector<uint8_t> placed;
  std::vector<uint32_t> table;
  std::unique_ptr<uint64_t[]> int64_keys;
  uint64_t int64_key_slots = 0;
  std::vector<IdView> ids;
  std::vector<Origin> origins;
  std::vector<uint64_t> native_ids;
};

namespace {

// Kept by thread: the storage of its last join.
thread_local JoinedLists::JoinStorage recycled_storage;
constexpr size_t kRecycledBytes = size_t{1} << 20;

}  // namespace

// Swaps the join's storage with `kept`, field by field: both ways, to keep it and to take it.
void JoinedLists::exchange_storage(JoinStorage& kept) {
  std::swap(orders_, kept.orders);
  std::swap(values_, kept.values);
  std::swap(placed_, kept.placed);
  std::swap(table_, kept.table);
  std::swap(int64_keys_, kept.int64_keys);
  std::swap(int64_key_slots_, kept.int64_key_slots);
  std::swap(ids_, kept.ids);
  std::swap(origins_, kept.origins);
  std::swap(native_ids_, kept.native_ids);
}

void JoinedLists::recycle() {
  if (!made_.empty() || !groups.empty() || !covers.empty()) return;  // let go as it is
  const size_t bytes = table_.capacity() * (sizeof(uint32_t) + sizeof(uint64_t)) +
                       ids_.capacity() * (sizeof(IdView) + sizeof(Origin)) +
                       native_ids_.capacity() * sizeof(uint64_t) +
                       values_.capacity() * (sizeof(float) + sizeof(uint8_t));
  if (bytes <= kRecycledBytes) exchange_storage(recycled_storage);
}

bool JoinedLists::join(const std::vector<RankedList>& lists, const std::optional<IdKey>& pad) {
  // A fresh join takes what this thread's last join left; everything is rewritten below.
  if (native_ids_.capacity() == 0 && ids_.capacity() == 0 && table_.capacity() == 0) {
    exchange_storage(recycled_storage);
  }
  list_axes_.clear();
  orders_.resize(lists.size());
  in_order_.assign(lists.size(), 0);
  size_t rows = 0;
  for (size_t list = 0; list < lists.size(); ++list) {
    list_axes_.push_back(lists[list].axis);
    orders_[list].resize(static_cast<size_t>(lists[list].ids.length()));
    rows += static_cast<size_t>(lists[list].ids.length());
  }
  mask_ = table_size(rows) - 1;
  table_.assign(mask_ + 1, 0);
  ids_.clear();
  origins_.clear();
  native_ids_.clear();
  // Room for every row being a candidate of its own, so that adding one writes nothing.
  values_.assign(rows * list_count(), std::numeric_limits<float>::quiet_NaN());
  placed_.assign(rows * list_count(), 0);
  if (all_native_int64(lists)) {
    // The common case, a retriever's native ids: they match by their bits.
    // Read only where table_ holds a candidate, so left as allocated.
    native_ids_.reserve(rows);
    if (int64_key_slots_ < mask_ + 1) {
      int64_keys_.reset(new uint64_t[mask_ + 1]);
      int64_key_slots_ = mask_ + 1;
    }
    return join_int64(lists, pad);
  }
  ids_.reserve(rows);
  origins_.reserve(rows);
  keys_.reserve(rows);
  std::optional<Key> pad_key;
  if (pad && pad->kind != IdKey::Kind::kOther) {
    pad_key = Key{pad->kind, pad->negative, pad->magnitude, pad->text};
  }

  std::string scratch;
  for (size_t list = 0; list < lists.size(); ++list) {
    const RankedList& ranked = lists[list];
    const Column& column = ranked.ids;
    const ArrayView* plain_scores = plain_float32(ranked.scores.get());
    uint32_t* order = orders_[list].data();  // room for every row
    size_t placed = 0;
    int64_t row = 0;
    for (const ArrayView* chunk : column.chunks()) {
      const bool plain_ids = chunk->encoding == ColumnEncoding::kInt64 && !chunk->byte_swapped;
      for (int64_t local = 0; local < chunk->length; ++local, ++row) {
        const Key key = plain_ids ? int64_key(chunk->data + local * chunk->stride)
                                  : key_at(*chunk, local, &scratch);
        if (key.kind == IdKey::Kind::kOther) {
          return raise_id_not_joinable(column.name(), row,
                                       static_cast<PyObject*>(column.object(row)));
        }
        if (pad_key && *pad_key == key) continue;
        const size_t slot = find(key, hash(key));
        if (table_[slot] == 0) {
          if (plain_ids && !key.negative) {
            // A retriever's native id: its own integer is its object, nothing to convert.
            keys_.push_back(key);
            ids_.push_back(IdView::Integer(key.magnitude));
            origins_.push_back(Origin{nullptr, static_cast<int64_t>(key.magnitude)});
          } else if (!add(key, *chunk, local, column, row)) {
            return false;
          }
          table_[slot] = static_cast<uint32_t>(size());
        }
        const uint32_t candidate = table_[slot] - 1;
        float score;
        if (place(candidate, list, ranked, plain_scores, row, &score)) order[placed++] = candidate;
      }
    }
    orders_[list].resize(placed);
  }
  return true;
}

ObjectHandle JoinedLists::object_handle(PyObject* object) {
  Py_INCREF(object);
  return ObjectHandle(object, release_object);
}

bool JoinedLists::holds_objects() const {
  for (const Origin& origin : origins_) {
    if (origin.object != nullptr) return true;
  }
  return false;
}

PyRef JoinedLists::object_of(size_t candidate) const {
  if (!native_ids_.empty()) {
    return PyRef::steal(PyLong_FromLongLong(static_cast<long long>(native_ids_[candidate])));
  }
  const Origin& origin = origins_[candidate];
  if (origin.object == nullptr) return PyRef::steal(PyLong_FromLongLong(origin.integer));
  return PyRef::borrow(origin.object);
}

bool JoinedLists::read_groups(PyObject* by_id, const std::string& name,
                              const std::vector<size_t>& positions, size_t position_count) {
  groups.resize(size() * position_count);
  for (size_t candidate = 0; candidate < size(); ++candidate) {
    PyRef value;
    const PyRef object = object_of(candidate);
    if (!object || !entry(by_id, object.get(), &value)) return noted(name, id(candidate).to_id());
    if (!value || value.get() == Py_None) continue;
    std::string text;
    if (!str_text_from(value.get(), &text)) return noted(name, id(candidate).to_id());
    for (size_t position : positions) groups[candidate * position_count + position] = text;
  }
  return true;
}

bool JoinedLists::read_costs(PyObject* by_id) {
  costs.assign(size(), 0);
  for (size_t candidate = 0; candidate < size(); ++candidate) {
    PyRef value;
    const PyRef object = object_of(candidate);
    if (!object || !entry(by_id, object.get(), &value)) return noted("cost", id(candidate).to_id());
    if (!value || value.get() == Py_None) continue;
    if (!u32_from(value.get(), &costs[candidate])) return noted("cost", id(candidate).to_id());
  }
  return true;
}

bool JoinedLists::read_covers(PyObject* by_id, SequenceCheck& sequences) {
  covers.assign(size(), {});
  for (size_t candidate = 0; candidate < size(); ++candidate) {
    PyRef value;
    const PyRef object = object_of(candidate);
    if (!object || !entry(by_id, object.get(), &value))
      return noted("cover", id(candidate).to_id());
    if (!value || value.get() == Py_None) continue;
    const int is_sequence = sequences(value.get());
    if (is_sequence < 0) return noted("cover", id(candidate).to_id());
    if (is_sequence == 0) {
      raise_with_text(PyExc_ValueError, kCoverShapeMessage);
      return noted("cover", id(candidate).to_id());
    }
    const Py_ssize_t count = PySequence_Size(value.get());
    if (count < 0) return noted("cover", id(candidate).to_id());
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyRef item = PyRef::steal(PySequence_GetItem(value.get(), i));
      std::string text;
      if (!item || !str_text_from(item.get(), &text)) return noted("cover", id(candidate).to_id());
      covers[candidate].push_back(std::move(text));
    }
  }
  return true;
}

}  // namespace korvane::python
