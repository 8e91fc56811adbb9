// RowBlock: up to kCapacity candidate rows as plain native data, the one shape every input
// takes on its way into stage 1. It carries what stage 1 needs of every row: the identifier
// and the values the row carries per registered axis. Whatever else a row holds (groups,
// cover, cost, the caller's object) is asked of the source only for the rows stage 1 keeps.
// Texts are views into storage the source keeps alive until its next fill.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/candidate_id.h"
#include "engine/entry_order.h"

namespace korvane {

// An identifier as a view: an unsigned 64-bit integer, or a text.
struct IdView {
  bool is_integer = true;
  uint64_t integer = 0;
  std::string_view text;

  static IdView Integer(uint64_t value) { return IdView{true, value, {}}; }
  static IdView Text(std::string_view value) { return IdView{false, 0, value}; }

  CandidateId to_id() const {
    return is_integer ? CandidateId(integer) : CandidateId(std::string(text));
  }
  // Makes `id` this identifier, in place for an integer.
  void write_to(CandidateId& id) const {
    if (is_integer) {
      id.set_integer(integer);
    } else {
      id = CandidateId(std::string(text));
    }
  }
};

// The identifier order of compare_ids, between a view and an identifier.
inline int compare_ids(const IdView& a, const CandidateId& b) {
  if (a.is_integer != b.is_integer()) return a.is_integer ? -1 : 1;
  if (a.is_integer) return (a.integer > b.integer()) - (a.integer < b.integer());
  int c = a.text.compare(b.text());
  return (c > 0) - (c < 0);
}

class RowBlock {
 public:
  static constexpr size_t kCapacity = 128;

  explicit RowBlock(size_t axis_count)
      : axis_count_(axis_count),
        values_(axis_count * kCapacity),
        present_(axis_count * kCapacity) {}

  size_t size() const { return size_; }
  bool full() const { return size_ == kCapacity; }
  size_t axis_count() const { return axis_count_; }
  // Empties the block and withdraws any promise of refusal.
  void clear() {
    size_ = 0;
    refusal_axis_ = kNoAxis;
  }

  // Stage 1's promise for the rows of the next fill: a row whose value on `axis` is present,
  // a number and below `floor_key` (total_order_key) is dropped without its object, group
  // values, cover or cost ever being asked for, so a source may let go of it at once.
  void promise_refusal(size_t axis, int32_t floor_key) {
    refusal_axis_ = axis;
    refusal_floor_ = floor_key;
  }
  // Whether the promise covers `row`, once its values are written.
  bool refused(size_t row) const {
    if (refusal_axis_ == kNoAxis) return false;
    const size_t at = refusal_axis_ * kCapacity + row;
    const float value = values_[at];
    return present_[at] != 0 && value == value && total_order_key(value) < refusal_floor_;
  }

  // Source side: starts a row with every value absent and returns its index. Precondition:
  // !full(). A row is dropped again with drop_last() when its conversion fails.
  size_t add_row(const IdView& id) {
    const size_t row = size_++;
    set_id(row, id);
    for (size_t axis = 0; axis < axis_count_; ++axis) present_[axis * kCapacity + row] = 0;
    return row;
  }
  void drop_last() { --size_; }
  // Source side, for a source that writes a row's values before it knows the row is good:
  // adds row size() (precondition: !full()), whose value or presence flag the caller has
  // written for every axis, and returns its index.
  size_t add_written_row(const IdView& id) {
    const size_t row = size_++;
    set_id(row, id);
    return row;
  }
  void set_absent(size_t axis, size_t row) { present_[axis * kCapacity + row] = 0; }
  void set_value(size_t axis, size_t row, float value) {
    values_[axis * kCapacity + row] = value;
    present_[axis * kCapacity + row] = 1;
  }

  // Source side, for a source that writes whole columns: adds `count` rows (precondition:
  // size() + count <= kCapacity) with every value absent and returns the first one's index.
  // Their ids are integers written through integer_ids() unless set_id says otherwise, and
  // their values may be written through the axis arrays.
  size_t add_rows(size_t count) {
    const size_t first = size_;
    size_ += count;
    std::fill_n(is_text_ + first, count, uint8_t{0});
    for (size_t axis = 0; axis < axis_count_; ++axis) {
      std::fill_n(present_.begin() + axis * kCapacity + first, count, uint8_t{0});
    }
    return first;
  }
  void set_id(size_t row, const IdView& id) {
    is_text_[row] = !id.is_integer;
    integers_[row] = id.integer;
    texts_[row] = id.text;
  }
  uint64_t* integer_ids() { return integers_; }
  // An axis's values and presence flags by row: a value counts only where its flag is set.
  float* values(size_t axis) { return values_.data() + axis * kCapacity; }
  uint8_t* present(size_t axis) { return present_.data() + axis * kCapacity; }
  const float* values(size_t axis) const { return values_.data() + axis * kCapacity; }
  const uint8_t* present(size_t axis) const { return present_.data() + axis * kCapacity; }

  IdView id(size_t row) const {
    return is_text_[row] ? IdView::Text(texts_[row]) : IdView::Integer(integers_[row]);
  }
  std::optional<float> value(size_t axis, size_t row) const {
    const size_t at = axis * kCapacity + row;
    if (!present_[at]) return std::nullopt;
    return values_[at];
  }

 private:
  static constexpr size_t kNoAxis = static_cast<size_t>(-1);

  size_t axis_count_;
  size_t size_ = 0;
  size_t refusal_axis_ = kNoAxis;
  int32_t refusal_floor_ = 0;
  // Ids by row, as set_id spreads them: integers are written in bulk by whole-column sources.
  uint8_t is_text_[kCapacity];
  uint64_t integers_[kCapacity];
  std::string_view texts_[kCapacity];
  std::vector<float> values_;     // axis-major
  std::vector<uint8_t> present_;  // axis-major
};

}  // namespace korvane
