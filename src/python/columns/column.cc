#include "python/columns/column.h"

#include <algorithm>
#include <cmath>

namespace korvane::python {

namespace {

// The view that holds a row's value: a dictionary's values, or the view itself.
std::pair<const ArrayView*, int64_t> values_of(const ArrayView* view, int64_t row) {
  if (view->encoding == ColumnEncoding::kDictionary) {
    return {view->child, dictionary_row_at(*view, row)};
  }
  return {view, row};
}

}  // namespace

ArrayView* Column::add_view() {
  views_.push_back(std::make_unique<ArrayView>());
  return views_.back().get();
}

void Column::append_chunk(const ArrayView* chunk) {
  if (chunk->length == 0) return;  // nothing to find there
  chunks_.push_back(chunk);
  ends_.push_back(length() + chunk->length);
}

std::pair<const ArrayView*, int64_t> Column::locate(int64_t row) const {
  if (chunks_.size() == 1) return {chunks_.front(), row};
  const size_t index =
      static_cast<size_t>(std::upper_bound(ends_.begin(), ends_.end(), row) - ends_.begin());
  const int64_t start = index == 0 ? 0 : ends_[index - 1];
  return {chunks_[index], row - start};
}

bool Column::present(int64_t row) const {
  auto [view, local] = locate(row);
  return is_present(*view, local);
}

std::optional<float> Column::score(int64_t row) const {
  auto [view, local] = locate(row);
  if (!is_present(*view, local)) return std::nullopt;
  const float value = static_cast<float>(real_at(*view, local));
  if (std::isnan(value)) return std::nullopt;
  return value;
}

CandidateId Column::id(int64_t row) const {
  auto [chunk, chunk_row] = locate(row);
  auto [view, local] = values_of(chunk, chunk_row);
  switch (category_of(view->encoding)) {
    case ColumnCategory::kInteger: {
      const IntegerValue value = integer_at(*view, local);
      if (value.negative) return CandidateId(decimal_text(value));
      return CandidateId(value.magnitude);
    }
    case ColumnCategory::kText: {
      std::string text;
      append_text_at(*view, local, &text);
      return CandidateId(std::move(text));
    }
    case ColumnCategory::kIdentifier:
      return view->identifiers[local];
    default:
      return CandidateId();
  }
}

IdKey Column::key(int64_t row) const {
  auto [view, local] = locate(row);
  return id_key_at(*view, local);
}

void* Column::object(int64_t row) const {
  auto [view, local] = locate(row);
  return view->objects != nullptr ? view->objects[local] : nullptr;
}

std::optional<std::string> Column::text(int64_t row) const {
  auto [chunk, chunk_row] = locate(row);
  if (!is_present(*chunk, chunk_row)) return std::nullopt;
  auto [view, local] = values_of(chunk, chunk_row);
  if (category_of(view->encoding) == ColumnCategory::kInteger) {
    return decimal_text(integer_at(*view, local));
  }
  std::string text;
  append_text_at(*view, local, &text);
  return text;
}

uint32_t Column::cost(int64_t row) const {
  auto [view, local] = locate(row);
  if (!is_present(*view, local)) return 0;
  return static_cast<uint32_t>(integer_at(*view, local).magnitude);
}

void Column::cover(int64_t row, std::vector<std::string>* out) const {
  auto [chunk, chunk_row] = locate(row);
  if (!is_present(*chunk, chunk_row)) return;
  auto [view, local] = values_of(chunk, chunk_row);
  int64_t begin = 0;
  int64_t end = 0;
  list_range_at(*view, local, &begin, &end);
  const ArrayView& items = *view->child;
  begin = std::max<int64_t>(begin, 0);
  end = std::min(end, items.length);
  for (int64_t item = begin; item < end; ++item) {
    if (!is_present(items, item)) continue;
    auto [values, value_row] = values_of(&items, item);
    if (category_of(values->encoding) == ColumnCategory::kInteger) {
      out->push_back(decimal_text(integer_at(*values, value_row)));
    } else {
      std::string& text = out->emplace_back();
      append_text_at(*values, value_row, &text);
    }
  }
}

}  // namespace korvane::python
