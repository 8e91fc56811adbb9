#include "python/columns/id_key.h"

#include <functional>
#include <string_view>
#include <utility>

namespace korvane::python {

size_t IdKeyHash::operator()(const IdKey& key) const {
  size_t hash = std::hash<std::string_view>()(key.text);
  hash ^= std::hash<uint64_t>()(key.magnitude) + 0x9e3779b97f4a7c15ull + (hash << 6) + (hash >> 2);
  return hash ^ (static_cast<size_t>(key.kind) << 1) ^ static_cast<size_t>(key.negative);
}

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
