#include "python/columns/column_source.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>

namespace korvane::python {

namespace {

bool valid_at(const ArrayView& view, int64_t row) {
  if (view.validity == nullptr) return true;
  const int64_t bit = view.validity_offset + row;
  return (view.validity[bit >> 3] >> (bit & 7)) & 1;
}

// Rows [local, local + count) of a machine-order integer column as ids. False, with nothing
// to trust in `block`, when a value is negative: that id is a text, for the row path.
template <class T>
bool read_integer_ids(const ArrayView& view, int64_t local, size_t count, size_t first,
                      RowBlock& block) {
  const uint8_t* at = view.data + local * view.stride;
  uint64_t* ids = block.integer_ids() + first;
  T signs = 0;
  auto read = [&](int64_t stride) {
    for (size_t i = 0; i < count; ++i) {
      T value;
      std::memcpy(&value, at + static_cast<int64_t>(i) * stride, sizeof value);
      signs |= value;
      ids[i] = static_cast<uint64_t>(value);
    }
  };
  // A contiguous column is the common case, and its loop vectorises.
  if (view.stride == sizeof(T)) {
    read(sizeof(T));
  } else {
    read(view.stride);
  }
  if constexpr (std::is_signed_v<T>) return signs >= 0;
  return true;
}

// Rows [local, local + count) of a machine-order float column into an axis of the block:
// NaN and null rows stay absent, as the row path reads them.
template <class T>
void read_reals(const ArrayView& view, int64_t local, size_t count, float* values,
                uint8_t* present) {
  const uint8_t* at = view.data + local * view.stride;
  auto read = [&](int64_t stride) {
    for (size_t i = 0; i < count; ++i) {
      T raw;
      std::memcpy(&raw, at + static_cast<int64_t>(i) * stride, sizeof raw);
      const float value = static_cast<float>(raw);
      values[i] = value;
      present[i] = value == value;  // NaN is absent
    }
  };
  if (view.stride == sizeof(T)) {
    read(sizeof(T));
  } else {
    read(view.stride);
  }
  if (view.validity != nullptr) {
    for (size_t i = 0; i < count; ++i)
      present[i] &= valid_at(view, local + static_cast<int64_t>(i));
  }
}

}  // namespace

std::pair<const ArrayView*, int64_t> ColumnSource::Cursor::at(int64_t row) {
  while (row >= end_) {
    chunk_ = column_->chunks()[next_chunk_++];
    start_ = end_;
    end_ += chunk_->length;
  }
  return {chunk_, row - start_};
}

ColumnSource::ColumnSource(Columns columns, int64_t row_offset, std::optional<IdKey> pad)
    : columns_(std::move(columns)),
      row_offset_(row_offset),
      pad_(std::move(pad)),
      id_cursor_(columns_.ids),
      rows_(RowBlock::kCapacity),
      texts_(RowBlock::kCapacity) {
  score_cursors_.reserve(columns_.scores.size());
  for (const Column* scores : columns_.scores) {
    score_cursors_.push_back(scores != nullptr ? std::optional<Cursor>(Cursor(scores))
                                               : std::nullopt);
  }
}

// As Column::id reads it, into a view; a text is kept in the slot's storage.
IdView ColumnSource::read_id(int64_t row, size_t slot) {
  auto [view, local] = id_cursor_.at(row);
  if (view->encoding == ColumnEncoding::kDictionary) {
    local = dictionary_row_at(*view, local);
    view = view->child;
  }
  std::string& text = texts_[slot];
  switch (category_of(view->encoding)) {
    case ColumnCategory::kInteger: {
      const IntegerValue value = integer_at(*view, local);
      if (!value.negative) return IdView::Integer(value.magnitude);
      text = decimal_text(value);
      return IdView::Text(text);
    }
    case ColumnCategory::kText:
      text.clear();
      append_text_at(*view, local, &text);
      return IdView::Text(text);
    case ColumnCategory::kIdentifier: {
      const CandidateId& id = view->identifiers[local];
      return id.is_integer() ? IdView::Integer(id.integer()) : IdView::Text(id.text());
    }
    default:
      return IdView::Integer(0);
  }
}

// A block of rows from one chunk of an id column of machine-order integers or Arrow texts,
// each score column read by a typed loop where its rows lie in one chunk of a float type.
// False when the rows need the row path (other texts, nulls, padding, other byte orders),
// with nothing read.
bool ColumnSource::fill_columns(RowBlock& block) {
  auto [ids, local] = id_cursor_.at(next_);
  if (ids->validity != nullptr || ids->byte_swapped) return false;
  const size_t count = static_cast<size_t>(
      std::min<int64_t>(RowBlock::kCapacity - block.size(), ids->length - local));
  const size_t first = block.add_rows(count);
  bool read = false;
  switch (ids->encoding) {
    case ColumnEncoding::kInt64:
      read = read_integer_ids<int64_t>(*ids, local, count, first, block);
      break;
    case ColumnEncoding::kInt32:
      read = read_integer_ids<int32_t>(*ids, local, count, first, block);
      break;
    case ColumnEncoding::kUInt64:
      read = read_integer_ids<uint64_t>(*ids, local, count, first, block);
      break;
    case ColumnEncoding::kUInt32:
      read = read_integer_ids<uint32_t>(*ids, local, count, first, block);
      break;
    case ColumnEncoding::kUtf8:
    case ColumnEncoding::kLargeUtf8:
    case ColumnEncoding::kUtf8View:
      // Arrow texts are viewed where they lie; the column outlives the run.
      for (size_t i = 0; i < count; ++i) {
        block.set_id(first + i, IdView::Text(text_view_at(*ids, local + static_cast<int64_t>(i))));
      }
      read = true;
      break;
    default:
      break;
  }
  // A block that holds padding goes the row path, which passes over its padded rows.
  if (read && pad_) {
    for (size_t i = 0; i < count && read; ++i) read = !pads(block.id(first + i));
  }
  if (!read) {
    block.clear();
    return false;
  }
  first_row_ = next_;  // the block's rows are consecutive: rows_ is not filled

  for (size_t axis = 0; axis < score_cursors_.size(); ++axis) {
    if (!score_cursors_[axis]) continue;
    auto [scores, at] = score_cursors_[axis]->at(next_);
    float* values = block.values(axis) + first;
    uint8_t* present = block.present(axis) + first;
    const bool one_chunk = at + static_cast<int64_t>(count) <= scores->length;
    if (one_chunk && !scores->byte_swapped && scores->encoding == ColumnEncoding::kFloat32) {
      read_reals<float>(*scores, at, count, values, present);
    } else if (one_chunk && !scores->byte_swapped && scores->encoding == ColumnEncoding::kFloat64) {
      read_reals<double>(*scores, at, count, values, present);
    } else {
      read_scores(axis, first, count, block);
    }
  }
  next_ += static_cast<int64_t>(count);
  return true;
}

// Rows first.. of the block on one axis, row by row, as Column::score reads a row.
void ColumnSource::read_scores(size_t axis, size_t first, size_t count, RowBlock& block) {
  Cursor& cursor = *score_cursors_[axis];
  for (size_t slot = first; slot < first + count; ++slot) {
    auto [view, local] = cursor.at(row_of(slot));
    if (!is_present(*view, local)) continue;
    const float value = static_cast<float>(real_at(*view, local));
    if (!std::isnan(value)) block.set_value(axis, slot, value);
  }
}

bool ColumnSource::pads(const IdView& id) const {
  if (id.is_integer) {
    return pad_->kind == IdKey::Kind::kInteger && !pad_->negative && pad_->magnitude == id.integer;
  }
  return pad_->kind == IdKey::Kind::kText && pad_->text == id.text;
}

bool ColumnSource::fill(RowBlock& block) {
  const int64_t rows = columns_.ids->length();
  if (next_ >= rows) return false;
  if (fill_columns(block)) return true;
  first_row_ = -1;
  while (!block.full() && next_ < rows) {
    const int64_t row = next_++;
    if (pad_) {
      auto [view, local] = id_cursor_.at(row);
      if (pad_->matches(id_key_at(*view, local))) continue;
    }
    const size_t slot = block.size();
    rows_[slot] = row;
    block.add_row(read_id(row, slot));
  }
  // Column by column over the block.
  for (size_t axis = 0; axis < score_cursors_.size(); ++axis) {
    if (score_cursors_[axis]) read_scores(axis, 0, block.size(), block);
  }
  return true;
}

void ColumnSource::complete(size_t slot, Candidate& out) {
  const int64_t row = row_of(slot);
  // `out` may be a record reused from an earlier row: every field is written.
  out.groups.assign(columns_.groups.size(), std::nullopt);
  for (size_t key = 0; key < columns_.groups.size(); ++key) {
    if (const Column* groups = columns_.groups[key]) out.groups[key] = groups->text(row);
  }
  out.cost = columns_.cost != nullptr ? columns_.cost->cost(row) : 0;
  out.cover.clear();
  if (columns_.cover != nullptr) columns_.cover->cover(row, &out.cover);
  out.object = ObjectHandle::Row(row_offset_ + row);
}

ObjectHandle ColumnSource::object(size_t slot) {
  return ObjectHandle::Row(row_offset_ + row_of(slot));
}

}  // namespace korvane::python
