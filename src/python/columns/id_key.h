// IdKey: an identifier as ids are matched by value, when ranked lists are joined and rows
// are compared with pad_id. Integers match integers by value whatever their width or type
// (numpy's int64 7 matches Python's 7), texts match texts byte for byte, and an integer
// never matches a text. Anything else (kOther) matches nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "python/columns/array_view.h"

namespace korvane::python {

struct IdKey {
  enum class Kind : uint8_t { kInteger, kBigInteger, kText, kOther };

  Kind kind = Kind::kOther;
  bool negative = false;  // kInteger
  uint64_t magnitude = 0;
  std::string text;  // kText: the text as UTF-8; kBigInteger: the decimal digits, signed

  static IdKey integer(IntegerValue value) {
    return IdKey{Kind::kInteger, value.negative, value.magnitude, {}};
  }
  static IdKey of_text(std::string text) { return IdKey{Kind::kText, false, 0, std::move(text)}; }

  bool matches(const IdKey& other) const { return kind != Kind::kOther && *this == other; }
  friend bool operator==(const IdKey&, const IdKey&) = default;
};

// The key of a present row of an integer, text or identifier column.
IdKey id_key_at(const ArrayView& view, int64_t row);

}  // namespace korvane::python
