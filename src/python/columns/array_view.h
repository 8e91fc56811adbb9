// ArrayView: one contiguous run of a column's rows in memory that someone else owns (a
// Python buffer, an Arrow array, or storage converted from a Python sequence), with the
// element reads every column role is built on. Plain native data: nothing here needs the
// interpreter lock, so a reader may fill blocks of rows on any thread while the owner
// keeps the memory alive. Reads take a row index in [0, length); they do not check it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/candidate_id.h"

namespace korvane::python {

struct IdKey;

enum class ColumnEncoding : uint8_t {
  kNull,  // every row absent (the Arrow null type)
  kInt8,
  kInt16,
  kInt32,
  kInt64,
  kUInt8,
  kUInt16,
  kUInt32,
  kUInt64,
  kFloat16,
  kFloat32,
  kFloat64,
  kBoolByte,    // one byte per row, zero or not (a buffer's '?')
  kBoolBit,     // bit-packed, least significant bit first (Arrow)
  kUcs4,        // `width` code points per row; trailing NULs are not part of the text
  kUtf8,        // Arrow utf8: 32-bit offsets into `chars`
  kLargeUtf8,   // Arrow large_utf8: 64-bit offsets
  kUtf8View,    // Arrow string_view: 16-byte views, long texts in `view_buffers`
  kList,        // Arrow list: 32-bit offsets into the rows of `child`
  kLargeList,   // Arrow large_list: 64-bit offsets
  kDictionary,  // integer indices (`index_encoding`) into the rows of `child`
  kIdentifier,  // converted identifiers: `identifiers`, `keys` and the owner's `objects`
};

// What a row of an encoding holds, whatever its width or layout.
enum class ColumnCategory : uint8_t { kNull, kInteger, kReal, kBool, kText, kList, kIdentifier };

ColumnCategory category_of(ColumnEncoding encoding);

struct ArrayView {
  ColumnEncoding encoding = ColumnEncoding::kNull;
  ColumnEncoding index_encoding = ColumnEncoding::kInt32;  // kDictionary only
  int64_t length = 0;
  // Validity bitmap: row i is present when bit (validity_offset + i) is set. Null when
  // every row is present.
  const uint8_t* validity = nullptr;
  int64_t validity_offset = 0;
  // Fixed-width rows: row i at data + i * stride (strides may be negative). kBoolBit: bit
  // (bit_offset + i) of data. kUtf8View: the 16-byte view at data + i * 16.
  const uint8_t* data = nullptr;
  int64_t stride = 0;
  int64_t bit_offset = 0;
  bool byte_swapped = false;  // a buffer in the other byte order than this machine's
  int64_t width = 0;          // kUcs4: code points per row
  // Texts and lists: row i spans offsets[i] to offsets[i + 1] (32 or 64 bits wide).
  const void* offsets = nullptr;
  const uint8_t* chars = nullptr;
  std::vector<const uint8_t*> view_buffers;  // kUtf8View
  const ArrayView* child = nullptr;          // list items, dictionary values
  // kIdentifier: one identifier, join key and caller's object per row.
  const CandidateId* identifiers = nullptr;
  const IdKey* keys = nullptr;
  void* const* objects = nullptr;
};

// An integer row value of any width and sign.
struct IntegerValue {
  bool negative = false;
  uint64_t magnitude = 0;
};

bool is_present(const ArrayView& view, int64_t row);

// Preconditions: the row is present and its category is the one named.
IntegerValue integer_at(const ArrayView& view, int64_t row);  // kInteger or kBool
double real_at(const ArrayView& view, int64_t row);           // kInteger, kReal or kBool
void append_text_at(const ArrayView& view, int64_t row, std::string* out);  // kText
// The row's text where it lies in the column's own memory: kUtf8, kLargeUtf8 and kUtf8View.
std::string_view text_view_at(const ArrayView& view, int64_t row);
// The rows of the list's child that make up this row: [*begin, *end).
void list_range_at(const ArrayView& view, int64_t row, int64_t* begin, int64_t* end);
// kUcs4: the row's first value that is no Unicode scalar value (past U+10FFFF, or a
// surrogate), if any.
std::optional<uint32_t> invalid_code_point_at(const ArrayView& view, int64_t row);
// kDictionary: the row of `child` this row points to, or -1 when the index is out of range.
int64_t dictionary_row_at(const ArrayView& view, int64_t row);

// The integer's decimal text, as str() writes a Python int.
std::string decimal_text(IntegerValue value);

}  // namespace korvane::python
