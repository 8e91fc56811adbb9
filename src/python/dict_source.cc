#include "python/dict_source.h"

#include <algorithm>
#include <utility>

#include "python/convert.h"
#include "python/errors.h"

namespace korvane::python {

namespace {

constexpr std::string_view kNotDictMessage =
    "후보는 사전(dict)이어야 한다. 'id' 와 'scores' 가 필요하다";
constexpr std::string_view kNoIdMessage = "후보에 'id' 가 없다";
constexpr std::string_view kScoresShapeMessage = "'scores' 는 사전이거나 순서열이어야 한다";
constexpr std::string_view kGroupsShapeMessage = "'groups' 는 사전이어야 한다";
constexpr std::string_view kCoverShapeMessage = "'cover' 는 순서열이어야 한다";

PyRef interned(std::string_view text) {
  PyObject* object = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  // Dicts written as literals have interned keys: a lookup with an interned key then
  // matches by identity.
  if (object != nullptr) PyUnicode_InternInPlace(&object);
  return PyRef::steal(object);
}

bool interned_all(const std::vector<std::string>& texts, std::vector<PyRef>* out) {
  out->reserve(texts.size());
  for (const std::string& text : texts) {
    PyRef object = interned(text);
    if (!object) return false;
    out->push_back(std::move(object));
  }
  return true;
}

bool fail(std::string_view message) {
  raise_with_text(PyExc_ValueError, message);
  return false;
}

// PyDict_Check is a call under the limited API; an exact dict is told by its type alone.
bool is_dict(PyObject* object) {
  return PyDict_CheckExact(object) || PyDict_Check(object);
}

// An int in 0 to 2^64 - 2, read without raising; false for any other int, and nothing
// pending.
bool read_u64(PyObject* integer, uint64_t* out) {
  *out = PyLong_AsUnsignedLongLong(integer);
  if (*out != UINT64_MAX) return true;
  PyErr_Clear();
  return false;
}

// Any score but a float: None is absent, anything else converts through float(), held
// while its __float__ runs.
bool read_other_score(PyObject* value, RowBlock& block, size_t axis, size_t row) {
  if (value == Py_None) return true;
  PyRef held = PyRef::borrow(value);
  float score = 0.0f;
  if (!float32_from(held.get(), &score)) return false;
  block.set_value(axis, row, score);
  return true;
}

// A score entry into the block, narrowed to 32 bits; `value` may be borrowed.
inline bool read_score(PyObject* value, RowBlock& block, size_t axis, size_t row) {
  // A float, or a subclass (which keeps its value in place), cannot fail or run Python code.
  if (!PyFloat_Check(value)) return read_other_score(value, block, axis, row);
  block.set_value(axis, row, static_cast<float>(PyFloat_AsDouble(value)));
  return true;
}

}  // namespace

std::shared_ptr<const EntryKeys> EntryKeys::make(const std::vector<std::string>& axis_names,
                                                 const std::vector<std::string>& group_keys,
                                                 bool read_cost, bool read_cover) {
  auto keys = std::make_shared<EntryKeys>();
  keys->id = interned("id");
  keys->scores = interned("scores");
  keys->groups = interned("groups");
  keys->cost = interned("cost");
  keys->cover = interned("cover");
  if (!keys->id || !keys->scores || !keys->groups || !keys->cost || !keys->cover ||
      !interned_all(axis_names, &keys->axis_names) ||
      !interned_all(group_keys, &keys->group_keys)) {
    return nullptr;
  }
  keys->read_cost = read_cost;
  keys->read_cover = read_cover;
  return keys;
}

DictSource::DictSource(PyRef iterator, std::shared_ptr<const EntryKeys> keys,
                       SequenceCheck& sequences, Interruption& interruption)
    : iterator_(std::move(iterator)),
      keys_(std::move(keys)),
      sequences_(sequences),
      interruption_(interruption) {}

DictSource::~DictSource() {
  release_held();
}

void DictSource::release_held() {
  // Dropping a reference may run Python code: the list is emptied before any goes.
  std::vector<PyObject*> held;
  held.swap(held_);
  drop_references(held);
  held.clear();
  if (held_.empty()) held_.swap(held);  // keeps the capacity for the next fill
}

void DictSource::close() {
  release_held();
  rows_.clear();
  iterator_.reset();
}

void DictSource::record_failure() {
  if (interruption_.take_if_interrupt()) {
    ended_ = true;
    return;
  }
  CapturedError error = CapturedError::fetch();
  if (!error_) error_ = std::move(error);
  // A later failure is dropped here, at the end of this scope.
}

bool DictSource::fill(RowBlock& block) {
  release_held();
  rows_.clear();
  groups_.clear();
  cover_.clear();
  if (ended_ || !iterator_) return false;
  // Items are held until the block is done with, and Python's free lists of dicts and
  // floats hold 80 to 100: a short fill lets the next items reuse this one's objects.
  for (size_t pulled = 0; pulled < kItemsPerFill && !block.full() && !ended_; ++pulled) {
    // A C-level iterator never runs the interpreter's signal handlers itself.
    if (!interruption_.keep_going()) {
      ended_ = true;
      break;
    }
    PyObject* item = PyIter_Next(iterator_.get());
    if (item == nullptr) {
      if (!PyErr_Occurred()) {
        ended_ = true;
        break;
      }
      record_failure();
      if (++iterator_failures_ >= kIteratorFailuresInARow) ended_ = true;
      continue;
    }
    iterator_failures_ = 0;
    // The first item is read by convert(), which learns where entries sit.
    const bool plain = convert_plainly_ != nullptr && (this->*convert_plainly_)(item, block);
    if (!plain && !convert(item, block)) record_failure();
  }
  return block.size() > 0 || !ended_;
}

inline bool DictSource::view_of(PyObject* text, bool owned, std::string_view* out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    if (owned) drop_reference(text);
    return false;
  }
  held_.push_back(text);
  if (!owned) Py_INCREF(text);
  *out = std::string_view(data, static_cast<size_t>(size));
  return true;
}

inline bool DictSource::text_of(PyObject* value, std::string_view* out) {
  if (PyUnicode_CheckExact(value)) return view_of(value, false, out);
  PyRef held = PyRef::borrow(value);
  PyObject* str = PyObject_Str(held.get());
  return str != nullptr && view_of(str, true, out);
}

PyObject* DictSource::hold(PyObject* object) {
  held_.push_back(object);
  Py_INCREF(object);
  return object;
}

// An integer in 0 to 2^64 - 1 when the value converts to one (bool and __index__
// included); otherwise the text of str(value), whatever the value is.
inline bool DictSource::read_id(PyObject* value, IdView* out) {
  uint64_t integer = 0;
  if (!PyLong_CheckExact(value) || !read_u64(value, &integer)) return read_other_id(value, out);
  *out = IdView::Integer(integer);
  return true;
}

bool DictSource::read_other_id(PyObject* value, IdView* out) {
  // `value` may be borrowed: an int or a str is read without running Python code.
  PyRef held;
  if (!PyLong_CheckExact(value) && !PyUnicode_CheckExact(value)) held = PyRef::borrow(value);
  uint64_t integer = 0;
  const int found = integer_identifier(value, &integer);
  if (found < 0) return false;
  if (found > 0) {
    *out = IdView::Integer(integer);
    return true;
  }
  std::string_view text;
  if (!text_of(value, &text)) return false;
  *out = IdView::Text(text);
  return true;
}

// Flattened: the compiler otherwise calls the vectors' appends out of line on this path.
template <size_t kAxes, size_t kGroupKeys>
__attribute__((flatten)) bool DictSource::convert_plainly(PyObject* item, RowBlock& block) {
  if (items_before_plain_ > 0) {
    --items_before_plain_;
    return false;
  }
  const EntryKeys& keys = *keys_;
  const size_t held_mark = held_.size();
  // Everything below only reads the item's own storage and takes no reference until the
  // row is good, so giving up at any point leaves nothing to undo but the texts held.
  size_t groups_added = 0;
  auto give_up = [&]() {
    for (size_t i = held_mark; i < held_.size(); ++i) Py_DECREF(held_[i]);  // the item keeps them
    held_.resize(held_mark);
    groups_.resize(groups_.size() - groups_added);
    items_before_plain_ = kItemsAfterPlainFails;
    return false;
  };
  if (keys.read_cost || keys.read_cover || !PyDict_CheckExact(item)) return give_up();
  const EntryHint* hints = hints_.data();
  PyObject* id = nullptr;
  PyObject* scores = nullptr;
  if (!hints[kIdHint].take(item, &id) || !hints[kScoresHint].take(item, &scores) ||
      !PyDict_CheckExact(scores)) {
    return give_up();
  }
  // An error met here is left to convert(), which meets it again and records it.
  IdView id_view;
  uint64_t integer = 0;
  std::string_view id_text;
  if (PyLong_CheckExact(id) && read_u64(id, &integer)) {
    id_view = IdView::Integer(integer);
  } else if (PyUnicode_CheckExact(id) && view_of(id, false, &id_text)) {
    // The block keeps a view of the text: the str is held even for a refused row.
    id_view = IdView::Text(id_text);
  } else {
    PyErr_Clear();
    return give_up();
  }
  const size_t row = block.size();
  const size_t axis_count = kAxes == kAnyCount ? keys.axis_names.size() : kAxes;
  const EntryHint* axis_hints = hints + kFirstAxisHint;
  for (size_t axis = 0; axis < axis_count; ++axis) {
    PyObject* value = nullptr;
    if (!axis_hints[axis].take(scores, &value)) return give_up();
    if (PyFloat_CheckExact(value)) {
      block.set_value(axis, row, static_cast<float>(PyFloat_AsDouble(value)));
    } else if (value == Py_None) {
      block.set_absent(axis, row);
    } else {
      return give_up();
    }
  }
  // A row stage 1 has promised to refuse is still checked entry by entry, but nothing of it
  // is kept: the item goes at once, while its memory is still in cache.
  const bool refused = block.refused(row);
  const size_t group_count = kGroupKeys == kAnyCount ? keys.group_keys.size() : kGroupKeys;
  if (group_count > 0) {
    PyObject* groups = nullptr;
    if (!hints[kGroupsHint].take(item, &groups) || !PyDict_CheckExact(groups)) return give_up();
    const EntryHint* group_hints = axis_hints + axis_count;
    for (size_t key = 0; key < group_count; ++key) {
      PyObject* value = nullptr;
      if (!group_hints[key].take(groups, &value)) return give_up();
      if (value == Py_None) {
        if (!refused) groups_.emplace_back();
      } else if (!PyUnicode_CheckExact(value)) {
        return give_up();
      } else if (refused) {
        // Checked that it encodes, as a kept row's text is, but not held.
        Py_ssize_t size = 0;
        if (PyUnicode_AsUTF8AndSize(value, &size) == nullptr) {
          PyErr_Clear();
          return give_up();
        }
      } else {
        std::string_view text;
        if (!view_of(value, false, &text)) {
          PyErr_Clear();
          return give_up();
        }
        groups_.emplace_back(text);
      }
      groups_added += !refused;
    }
  }
  block.add_written_row(id_view);
  // Cover and cost are not read on this path (see above), so the row has none.
  if (refused) {
    rows_.push_back(Row{nullptr, 0, 0, 0, 0});
    // Dropping the item may run Python code; nothing of it is read any more, and the rows
    // before it hold their own references.
    Py_DECREF(item);
    return true;
  }
  held_.push_back(item);  // the reference PyIter_Next gave
  rows_.push_back(Row{item, groups_.size() - groups_added, 0, 0, 0});
  return true;
}

// The usual shapes get a converter with their counts built in, so that its loops unroll.
DictSource::PlainConverter DictSource::plain_converter(size_t axes, size_t group_keys) {
  if (group_keys == 0) {
    if (axes == 1) return &DictSource::convert_plainly<1, 0>;
    if (axes == 2) return &DictSource::convert_plainly<2, 0>;
    if (axes == 3) return &DictSource::convert_plainly<3, 0>;
  } else if (group_keys == 1) {
    if (axes == 1) return &DictSource::convert_plainly<1, 1>;
    if (axes == 2) return &DictSource::convert_plainly<2, 1>;
    if (axes == 3) return &DictSource::convert_plainly<3, 1>;
  }
  return &DictSource::convert_plainly<kAnyCount, kAnyCount>;
}

bool DictSource::convert(PyObject* item, RowBlock& block) {
  // Reserved with the first item, so that a run over nothing allocates nothing here.
  if (hints_.empty()) {
    rows_.reserve(RowBlock::kCapacity);
    held_.reserve(RowBlock::kCapacity * 2);
    const EntryKeys& keys = *keys_;
    hints_ = {EntryHint(keys.id.get()), EntryHint(keys.scores.get()), EntryHint(keys.groups.get()),
              EntryHint(keys.cost.get()), EntryHint(keys.cover.get())};
    for (const PyRef& axis : keys.axis_names) hints_.emplace_back(axis.get());
    for (const PyRef& key : keys.group_keys) hints_.emplace_back(key.get());
    convert_plainly_ = plain_converter(keys.axis_names.size(), keys.group_keys.size());
  }
  // Everything held or added for this item is let go again if it fails.
  held_.push_back(item);
  const size_t held_mark = held_.size() - 1;
  const size_t groups_mark = groups_.size();
  const size_t cover_mark = cover_.size();
  bool row_added = false;

  auto converted = [&]() -> bool {
    if (!is_dict(item)) return fail(kNotDictMessage);

    PyObject* id = nullptr;
    if (!hints_[kIdHint].find(item, keys_->id.get(), &id)) return false;
    if (id == nullptr) return fail(kNoIdMessage);
    IdView id_view;
    if (!read_id(id, &id_view)) return false;
    const size_t row = block.add_row(id_view);
    row_added = true;

    PyObject* scores = nullptr;
    if (!hints_[kScoresHint].find(item, keys_->scores.get(), &scores)) return false;
    if (scores != nullptr && !read_scores(hold(scores), block, row)) return false;

    if (!keys_->group_keys.empty() && !read_groups(item)) return false;
    uint32_t cost = 0;
    if (keys_->read_cost && !read_cost(item, &cost)) return false;
    if (keys_->read_cover && !read_cover(item)) return false;
    rows_.push_back(Row{item, groups_mark, cover_mark, cover_.size(), cost});
    return true;
  };
  if (converted()) return true;

  if (row_added) block.drop_last();
  groups_.resize(groups_mark);
  cover_.resize(cover_mark);
  // The pending exception stays pending while the references go: fetch it around them.
  CapturedError pending = CapturedError::fetch();
  std::vector<PyObject*> release(held_.begin() + static_cast<std::ptrdiff_t>(held_mark),
                                 held_.end());
  held_.resize(held_mark);
  drop_references(release);
  pending.restore();
  return false;
}

inline bool DictSource::read_scores(PyObject* scores, RowBlock& block, size_t row) {
  if (!is_dict(scores)) return read_score_sequence(scores, block, row);
  const std::vector<PyRef>& axes = keys_->axis_names;
  for (size_t axis = 0; axis < axes.size(); ++axis) {
    PyObject* value = nullptr;
    if (!hints_[kFirstAxisHint + axis].find(scores, axes[axis].get(), &value)) return false;
    if (value != nullptr && !read_score(value, block, axis, row)) return false;
  }
  return true;
}

bool DictSource::read_score_sequence(PyObject* scores, RowBlock& block, size_t row) {
  int is_sequence = sequences_(scores);
  if (is_sequence < 0) return false;
  if (is_sequence == 0) return fail(kScoresShapeMessage);
  Py_ssize_t length = PySequence_Size(scores);
  if (length < 0) return false;
  // Positions past the last axis are never read.
  const size_t count = std::min(static_cast<size_t>(length), keys_->axis_names.size());
  for (size_t axis = 0; axis < count; ++axis) {
    PyRef value = PyRef::steal(PySequence_GetItem(scores, static_cast<Py_ssize_t>(axis)));
    if (!value || !read_score(value.get(), block, axis, row)) return false;
  }
  return true;
}

inline bool DictSource::read_groups(PyObject* item) {
  const std::vector<PyRef>& keys = keys_->group_keys;
  PyObject* groups = nullptr;
  if (!hints_[kGroupsHint].find(item, keys_->groups.get(), &groups)) return false;
  if (groups == nullptr) {
    groups_.resize(groups_.size() + keys.size());
    return true;
  }
  if (!is_dict(groups)) return fail(kGroupsShapeMessage);
  hold(groups);
  EntryHint* hint = &hints_[kFirstAxisHint + keys_->axis_names.size()];
  for (const PyRef& key : keys) {
    PyObject* value = nullptr;
    if (!(hint++)->find(groups, key.get(), &value)) return false;
    std::string_view text;
    if (value == nullptr || value == Py_None) {
      groups_.emplace_back();
    } else if (!text_of(value, &text)) {
      return false;
    } else {
      groups_.emplace_back(text);
    }
  }
  return true;
}

bool DictSource::read_cost(PyObject* item, uint32_t* out) {
  PyObject* cost = nullptr;
  if (!hints_[kCostHint].find(item, keys_->cost.get(), &cost)) return false;
  if (cost == nullptr || cost == Py_None) return true;
  PyRef held = PyRef::borrow(cost);
  return u32_from(held.get(), out);
}

bool DictSource::read_cover(PyObject* item) {
  PyObject* cover = nullptr;
  if (!hints_[kCoverHint].find(item, keys_->cover.get(), &cover)) return false;
  if (cover == nullptr || cover == Py_None) return true;
  hold(cover);
  int is_sequence = sequences_(cover);
  if (is_sequence < 0) return false;
  if (is_sequence == 0) return fail(kCoverShapeMessage);
  Py_ssize_t length = PySequence_Size(cover);
  if (length < 0) return false;
  for (Py_ssize_t i = 0; i < length; ++i) {
    PyRef entry = PyRef::steal(PySequence_GetItem(cover, i));
    if (!entry) return false;
    std::string_view text;
    if (!text_of(entry.get(), &text)) return false;
    cover_.push_back(text);
  }
  return true;
}

void DictSource::complete(size_t row, Candidate& out) {
  const Row& source = rows_[row];
  const size_t key_count = keys_->group_keys.size();
  out.groups.resize(key_count);
  for (size_t key = 0; key < key_count; ++key) {
    const std::optional<std::string_view>& value = groups_[source.groups + key];
    if (!value) {
      out.groups[key].reset();
    } else if (out.groups[key]) {
      out.groups[key]->assign(*value);
    } else {
      out.groups[key].emplace(*value);
    }
  }
  out.cover.resize(source.cover_end - source.cover_begin);
  for (size_t i = 0; i < out.cover.size(); ++i) out.cover[i].assign(cover_[source.cover_begin + i]);
  out.cost = source.cost;
  out.object = object(row);
}

ObjectHandle DictSource::object(size_t row) {
  PyObject* item = rows_[row].item;
  Py_INCREF(item);
  return ObjectHandle(item, release_python_object);
}

}  // namespace korvane::python
