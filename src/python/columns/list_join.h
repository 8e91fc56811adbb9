// The join of Engine.run_lists: the candidates are the union of the ranked lists' ids, in
// first-appearance order (the lists in the mapping's order, each list in its own order).
// Ids match by value (IdKey). A candidate keeps its first row in each list, the
// best-placed one, whose score is its value on that list's axis. The group values, costs
// and cover lists given by id are looked up once, before the run, with each candidate's
// object.
//
// The join reads each id once, in place, and matches it through one flat open-addressing
// table; identifiers are kept as views into the lists' columns (or into the join's own
// storage for the few that need converting), so the lists outlive the join. A candidate's
// object is made only when a run asks for it: the very object of a Python list, an integer
// id's int, or (made at join time, so that a failure is reported there) a text's str.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/candidate_id.h"
#include "engine/object_handle.h"
#include "engine/row_block.h"
#include "python/columns/column.h"
#include "python/columns/id_key.h"
#include "python/py_ref.h"
#include "python/sequence_check.h"

namespace korvane::python {

// One retriever's output: its ids, and their scores or, when none are given, their rank
// order (best first).
struct RankedList {
  size_t axis = 0;  // the position of the list's axis
  Column ids;
  std::unique_ptr<Column> scores;  // null: ranked, valued -1, -2, ... by row

  // The value of the list's row on its axis.
  std::optional<float> value(int64_t row) const;
};

class JoinedLists {
 public:
  // Where a candidate's object comes from: a Python object (borrowed from a list's column,
  // or one of `made_`), else the integer `integer`.
  struct Origin {
    PyObject* object = nullptr;
    int64_t integer = 0;
  };

  // Joins the lists, passing over rows whose id matches `pad`. False with the exception
  // set for an id that is neither an integer nor a text, or whose object cannot be made.
  // `lists` outlive the join.
  bool join(const std::vector<RankedList>& lists, const std::optional<IdKey>& pad);

  // `by_id` maps ids to group values (None: none); the value of each candidate is stored
  // at every listed position of the group key list, as the text of str(value).
  bool read_groups(PyObject* by_id, const std::string& name, const std::vector<size_t>& positions,
                   size_t position_count);
  // `by_id` maps ids to costs (None or no entry: 0).
  bool read_costs(PyObject* by_id);
  // `by_id` maps ids to cover lists (None or no entry: none).
  bool read_covers(PyObject* by_id, SequenceCheck& sequences);

  size_t size() const { return native_ids_.empty() ? ids_.size() : native_ids_.size(); }
  size_t list_count() const { return list_axes_.size(); }
  // The position of list `list`'s axis.
  size_t list_axis(size_t list) const { return list_axes_[list]; }

  // Candidate `candidate`'s identifier, as a view that lives as long as the join.
  IdView id(size_t candidate) const {
    return native_ids_.empty() ? ids_[candidate] : IdView::Integer(native_ids_[candidate]);
  }
  // Every candidate's identifier as an integer, by candidate, when each is a native int64
  // from 0 up; null otherwise.
  const uint64_t* native_ids() const { return native_ids_.empty() ? nullptr : native_ids_.data(); }
  // Its value on list `list`'s axis; NaN where the list gives none.
  float value(size_t candidate, size_t list) const {
    return values_[candidate * list_count() + list];
  }
  // Its object, as a handle of its own. Needs the interpreter lock unless !holds_objects().
  ObjectHandle handle(size_t candidate) const {
    if (!native_ids_.empty())
      return ObjectHandle::Row(static_cast<int64_t>(native_ids_[candidate]));
    const Origin& origin = origins_[candidate];
    if (origin.object == nullptr) return ObjectHandle::Row(origin.integer);
    return object_handle(origin.object);
  }
  // Whether any candidate's object is a Python object; when none is, every handle is a
  // native integer and the join may be read without the interpreter lock.
  bool holds_objects() const;
  // The candidates list `list` ranks, in its row order (an id's first row), taken once.
  std::vector<uint32_t> take_order(size_t list) { return std::move(orders_[list]); }
  // Whether that order is known to be strictly the entry order of the list's values: no
  // NaN among them, each after the one before by value (higher first), then by integer id.
  // Checked by the join of native int64 ids only.
  bool in_entry_order(size_t list) const { return in_order_[list] != 0; }
  // Whether no two candidates share an identifier. Keys are distinct, but a negative integer
  // and its decimal text are two keys with one identifier; with integer identifiers alone
  // that cannot happen.
  bool ids_distinct() const { return !text_ids_; }

  // Empties the join, keeping its storage on this thread for the thread's next join when it
  // holds no Python object and is small: a batch then joins every query in memory that is
  // still in cache. Native when !holds_objects().
  void recycle();

  struct JoinStorage;

  // What was read by id, taken as the run completes a candidate; empty when not read.
  std::vector<std::optional<std::string>> groups;  // [candidate * positions + position]
  std::vector<uint32_t> costs;
  std::vector<std::vector<std::string>> covers;

 private:
  // An id as the join matches it: IdKey's fields, its text a view.
  struct Key {
    IdKey::Kind kind = IdKey::Kind::kOther;
    bool negative = false;
    uint64_t magnitude = 0;
    std::string_view text;

    friend bool operator==(const Key&, const Key&) = default;
  };

  // The key of row `row` of `view` (a chunk of an id column); its text, when it has one,
  // may view `scratch`.
  static Key key_at(const ArrayView& view, int64_t row, std::string* scratch);
  // The key of a native int64 id at `at`, read in place (the common case).
  static Key int64_key(const uint8_t* at);
  static uint64_t hash(const Key& key);
  // The slot of the table holding `key`, or the empty slot where it goes.
  size_t find(const Key& key, uint64_t hashed) const;
  // join() when every id is a native int64: ids match by their bits.
  bool join_int64(const std::vector<RankedList>& lists, const std::optional<IdKey>& pad);
  // Records row `row` of list `list` as the candidate's entry there, unless it has one;
  // whether it did. *score is then the value recorded (NaN for none).
  bool place(size_t candidate, size_t list, const RankedList& ranked, const ArrayView* plain_scores,
             int64_t row, float* score);
  // Adds a candidate for a key met for the first time; false with the exception set when
  // its object cannot be made.
  bool add(Key key, const ArrayView& view, int64_t local, const Column& column, int64_t row);
  // A handle of its own on a candidate's Python object.
  static ObjectHandle object_handle(PyObject* object);
  void exchange_storage(JoinStorage& kept);
  // A new reference to the candidate's object, for lookups by id.
  PyRef object_of(size_t candidate) const;
  std::string_view keep(std::string_view text);

  std::vector<size_t> list_axes_;
  std::vector<std::vector<uint32_t>> orders_;  // per list: candidates in its row order
  std::vector<uint8_t> in_order_;              // per list: see in_entry_order()
  std::vector<Key> keys_;
  // Ids and objects by candidate. A join of native int64 ids from 0 up keeps them as the
  // ids alone, in native_ids_ (each its own object), and ids_ and origins_ stay empty.
  std::vector<IdView> ids_;
  std::vector<Origin> origins_;
  std::vector<uint64_t> native_ids_;
  std::vector<float> values_;    // [candidate * list_count + list]
  std::vector<uint8_t> placed_;  // same layout: the list's first row of the id was read
  std::vector<uint32_t> table_;  // candidate + 1; 0: empty
  // The general join matches a slot's candidate by its key in keys_; the int64 join by the
  // id's bits, kept beside the slot.
  std::unique_ptr<uint64_t[]> int64_keys_;
  uint64_t int64_key_slots_ = 0;
  bool text_ids_ = false;  // some candidate's identifier is a text
  uint64_t mask_ = 0;
  std::deque<std::string> texts_;  // converted texts the keys and ids view; never moves
  std::vector<PyRef> made_;
};

}  // namespace korvane::python
