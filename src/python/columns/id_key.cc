#include "python/columns/id_key.h"

#include <string>
#include <utility>

namespace korvane::python {

IdKey id_key_at(const ArrayView& view, int64_t row) {
  const ArrayView* at = &view;
  if (view.encoding == ColumnEncoding::kDictionary) {
    at = view.child;
    row = dictionary_row_at(view, row);
  }
  switch (category_of(at->encoding)) {
    case ColumnCategory::kInteger:
    case ColumnCategory::kBool:
      return IdKey::integer(integer_at(*at, row));
    case ColumnCategory::kText: {
      std::string text;
      append_text_at(*at, row, &text);
      return IdKey::of_text(std::move(text));
    }
    case ColumnCategory::kIdentifier:
      return at->keys[row];
    default:
      return IdKey{};
  }
}

}  // namespace korvane::python
