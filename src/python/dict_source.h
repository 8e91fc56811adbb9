// DictSource: the candidate source of Engine.run. It pulls items from a Python iterator and
// converts each dict into a row of the block: its identifier and carried values for stage 1,
// its group values, cover and cost kept aside until stage 1 asks for them. Texts are read in
// place from str objects the source holds until its next fill, so a row that stage 1 refuses
// costs no copy; a row stage 1 has promised to refuse (RowBlock::refused) is checked and let
// go at once. A failing item is skipped and its exception recorded (the first of the run
// only); the stream goes on with the next item.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/candidate.h"
#include "engine/candidate_source.h"
#include "python/captured_error.h"
#include "python/entry_hint.h"
#include "python/interruption.h"
#include "python/py_ref.h"
#include "python/sequence_check.h"

namespace korvane::python {

// The Python texts a source looks entries up by, made once per configuration.
struct EntryKeys {
  PyRef id, scores, groups, cost, cover;
  std::vector<PyRef> axis_names;  // registration order
  std::vector<PyRef> group_keys;  // the group key list
  bool read_cost = false;         // a token budget
  bool read_cover = false;        // the coverage objective

  // Null with an exception set when a text cannot be made.
  static std::shared_ptr<const EntryKeys> make(const std::vector<std::string>& axis_names,
                                               const std::vector<std::string>& group_keys,
                                               bool read_cost, bool read_cover);
};

class DictSource final : public korvane::CandidateSource {
 public:
  // `iterator` is a new reference to a Python iterator. An interrupt anywhere in intake
  // stops the run through `interruption`, which keeps it.
  DictSource(PyRef iterator, std::shared_ptr<const EntryKeys> keys, SequenceCheck& sequences,
             Interruption& interruption);
  ~DictSource() override;

  DictSource(const DictSource&) = delete;
  DictSource& operator=(const DictSource&) = delete;

  // An ordinary exception raised by the iterator itself is recorded like a failed item and
  // pulling goes on, so that a `map` whose function fails on one row is still read to its
  // end. The stream ends at once on anything that is not an ordinary exception
  // (KeyboardInterrupt, SystemExit), raised by the iterator or inside a conversion, and on a
  // signal handler that raises (checked every few thousand pulls); and after
  // kIteratorFailuresInARow raising calls with no item between them, so an iterator that
  // raises on every call cannot keep the run pulling for ever.
  bool fill(RowBlock& block) override;
  void complete(size_t row, Candidate& out) override;
  ObjectHandle object(size_t row) override;
  void close() override;

  static constexpr int kIteratorFailuresInARow = 1000;
  static constexpr size_t kItemsPerFill = 16;

  // The first recorded exception, if any; the record is left empty. An interrupt is kept by
  // the run's Interruption instead.
  CapturedError take_error() { return std::move(error_); }

 private:
  struct Row {
    PyObject* item;  // held; null for a row stage 1 promised to refuse
    size_t groups;   // first of its group values in groups_
    size_t cover_begin, cover_end;
    uint32_t cost;
  };

  // hints_ holds one hint per key read: these five in the item, then one per axis in its
  // scores, then one per group key in its groups.
  static constexpr size_t kIdHint = 0, kScoresHint = 1, kGroupsHint = 2, kCostHint = 3,
                          kCoverHint = 4, kFirstAxisHint = 5;

  // Converts an item of the common shape: an exact dict whose entries sit where the hints
  // expect them, an int or str id, exact dicts of scores and groups, floats (or None) for every
  // axis and strs (or None) for every group key. False for any other item, having run no
  // Python code, raised nothing and changed nothing: convert() then reads it.
  // kAxes and kGroupKeys are the configuration's counts, or kAnyCount.
  template <size_t kAxes, size_t kGroupKeys>
  bool convert_plainly(PyObject* item, RowBlock& block);
  static constexpr size_t kAnyCount = static_cast<size_t>(-1);
  using PlainConverter = bool (DictSource::*)(PyObject*, RowBlock&);
  static PlainConverter plain_converter(size_t axes, size_t group_keys);
  bool convert(PyObject* item, RowBlock& block);
  bool read_id(PyObject* value, IdView* out);
  bool read_other_id(PyObject* value, IdView* out);  // any id but an int below 2^64 - 1
  bool read_scores(PyObject* scores, RowBlock& block, size_t row);
  bool read_score_sequence(PyObject* scores, RowBlock& block, size_t row);
  bool read_groups(PyObject* item);
  bool read_cost(PyObject* item, uint32_t* out);
  bool read_cover(PyObject* item);
  // A view of a str's UTF-8, the str held until the next fill. `owned` is a new reference.
  bool view_of(PyObject* text, bool owned, std::string_view* out);
  // A view of str(value), or of value itself when it is a str. `value` may be borrowed.
  bool text_of(PyObject* value, std::string_view* out);
  // Holds a borrowed container until the next fill, so that Python code run by a
  // conversion cannot free it while its entries are read; returns `object`.
  PyObject* hold(PyObject* object);
  // Records the pending exception, or hands an interrupt to the run, ending the stream.
  void record_failure();
  void release_held();

  PyRef iterator_;
  std::shared_ptr<const EntryKeys> keys_;
  SequenceCheck& sequences_;
  Interruption& interruption_;
  int iterator_failures_ = 0;  // raising calls of the iterator since its last item
  bool ended_ = false;
  CapturedError error_;

  // The last fill: its rows, and every reference held for them.
  std::vector<Row> rows_;
  std::vector<std::optional<std::string_view>> groups_;
  std::vector<std::string_view> cover_;
  std::vector<PyObject*> held_;

  std::vector<EntryHint> hints_;
  // Set with the hints, at the first item.
  PlainConverter convert_plainly_ = nullptr;
  // Items left to read by convert() alone after convert_plainly() turned one down, so that
  // a stream of another shape pays for few attempts.
  uint32_t items_before_plain_ = 0;
  static constexpr uint32_t kItemsAfterPlainFails = 32;
};

}  // namespace korvane::python
