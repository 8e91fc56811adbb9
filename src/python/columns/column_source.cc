#include "python/columns/column_source.h"

#include <cmath>
#include <utility>

namespace korvane::python {

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

bool ColumnSource::fill(RowBlock& block) {
  const int64_t rows = columns_.ids->length();
  if (next_ >= rows) return false;
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
  // Column by column over the block, as Column::score reads a row.
  for (size_t axis = 0; axis < score_cursors_.size(); ++axis) {
    if (!score_cursors_[axis]) continue;
    Cursor& cursor = *score_cursors_[axis];
    for (size_t slot = 0; slot < block.size(); ++slot) {
      auto [view, local] = cursor.at(rows_[slot]);
      if (!is_present(*view, local)) continue;
      const float value = static_cast<float>(real_at(*view, local));
      if (!std::isnan(value)) block.set_value(axis, slot, value);
    }
  }
  return true;
}

void ColumnSource::complete(size_t slot, Candidate& out) {
  const int64_t row = rows_[slot];
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
  return ObjectHandle::Row(row_offset_ + rows_[slot]);
}

}  // namespace korvane::python
