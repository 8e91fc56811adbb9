#include "python/columns/array_view.h"

#include <bit>
#include <cmath>
#include <cstring>

namespace korvane::python {

namespace {

template <class T>
T load(const uint8_t* at, bool swapped) {
  T value;
  std::memcpy(&value, at, sizeof(T));
  if (!swapped) return value;
  if constexpr (sizeof(T) == 2) {
    return std::bit_cast<T>(__builtin_bswap16(std::bit_cast<uint16_t>(value)));
  } else if constexpr (sizeof(T) == 4) {
    return std::bit_cast<T>(__builtin_bswap32(std::bit_cast<uint32_t>(value)));
  } else if constexpr (sizeof(T) == 8) {
    return std::bit_cast<T>(__builtin_bswap64(std::bit_cast<uint64_t>(value)));
  } else {
    return value;
  }
}

template <class T>
T element(const ArrayView& view, int64_t row) {
  return load<T>(view.data + row * view.stride, view.byte_swapped);
}

bool bit(const uint8_t* bits, int64_t index) {
  return (bits[index >> 3] >> (index & 7)) & 1;
}

// IEEE half precision to single: every half is exactly a float.
float half_to_float(uint16_t half) {
  const uint32_t sign = static_cast<uint32_t>(half >> 15) << 31;
  const uint32_t exponent = (half >> 10) & 0x1f;
  const uint32_t mantissa = half & 0x3ff;
  if (exponent == 0) {
    const float magnitude = std::ldexp(static_cast<float>(mantissa), -24);
    return sign != 0 ? -magnitude : magnitude;
  }
  if (exponent == 0x1f) return std::bit_cast<float>(sign | 0x7f800000u | (mantissa << 13));
  return std::bit_cast<float>(sign | ((exponent + 112) << 23) | (mantissa << 13));
}

IntegerValue signed_value(int64_t value) {
  if (value >= 0) return IntegerValue{false, static_cast<uint64_t>(value)};
  // Two's complement magnitude, also for the most negative value.
  return IntegerValue{true, ~static_cast<uint64_t>(value) + 1};
}

// A fixed-width integer element of the given encoding.
IntegerValue fixed_integer(ColumnEncoding encoding, const uint8_t* at, bool swapped) {
  switch (encoding) {
    case ColumnEncoding::kInt8:
      return signed_value(load<int8_t>(at, swapped));
    case ColumnEncoding::kInt16:
      return signed_value(load<int16_t>(at, swapped));
    case ColumnEncoding::kInt32:
      return signed_value(load<int32_t>(at, swapped));
    case ColumnEncoding::kInt64:
      return signed_value(load<int64_t>(at, swapped));
    case ColumnEncoding::kUInt8:
      return IntegerValue{false, load<uint8_t>(at, swapped)};
    case ColumnEncoding::kUInt16:
      return IntegerValue{false, load<uint16_t>(at, swapped)};
    case ColumnEncoding::kUInt32:
      return IntegerValue{false, load<uint32_t>(at, swapped)};
    case ColumnEncoding::kUInt64:
      return IntegerValue{false, load<uint64_t>(at, swapped)};
    default:
      return IntegerValue{};
  }
}

int64_t offset_at(const ArrayView& view, int64_t index, bool large) {
  if (large) return load<int64_t>(static_cast<const uint8_t*>(view.offsets) + index * 8, false);
  return load<int32_t>(static_cast<const uint8_t*>(view.offsets) + index * 4, false);
}

void append_utf8(uint32_t code_point, std::string* out) {
  if (code_point < 0x80) {
    out->push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out->push_back(static_cast<char>(0xc0 | (code_point >> 6)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3f)));
  } else if (code_point < 0x10000) {
    out->push_back(static_cast<char>(0xe0 | (code_point >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3f)));
  } else {
    out->push_back(static_cast<char>(0xf0 | (code_point >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3f)));
  }
}

}  // namespace

ColumnCategory category_of(ColumnEncoding encoding) {
  switch (encoding) {
    case ColumnEncoding::kNull:
      return ColumnCategory::kNull;
    case ColumnEncoding::kInt8:
    case ColumnEncoding::kInt16:
    case ColumnEncoding::kInt32:
    case ColumnEncoding::kInt64:
    case ColumnEncoding::kUInt8:
    case ColumnEncoding::kUInt16:
    case ColumnEncoding::kUInt32:
    case ColumnEncoding::kUInt64:
      return ColumnCategory::kInteger;
    case ColumnEncoding::kFloat16:
    case ColumnEncoding::kFloat32:
    case ColumnEncoding::kFloat64:
      return ColumnCategory::kReal;
    case ColumnEncoding::kBoolByte:
    case ColumnEncoding::kBoolBit:
      return ColumnCategory::kBool;
    case ColumnEncoding::kUcs4:
    case ColumnEncoding::kUtf8:
    case ColumnEncoding::kLargeUtf8:
    case ColumnEncoding::kUtf8View:
      return ColumnCategory::kText;
    case ColumnEncoding::kList:
    case ColumnEncoding::kLargeList:
      return ColumnCategory::kList;
    case ColumnEncoding::kIdentifier:
      return ColumnCategory::kIdentifier;
    case ColumnEncoding::kDictionary:
      break;
  }
  return ColumnCategory::kNull;  // a dictionary has the category of its values
}

bool is_present(const ArrayView& view, int64_t row) {
  if (view.encoding == ColumnEncoding::kNull) return false;
  if (view.validity != nullptr && !bit(view.validity, view.validity_offset + row)) return false;
  if (view.encoding == ColumnEncoding::kDictionary) {
    const int64_t value_row = dictionary_row_at(view, row);
    return value_row >= 0 && is_present(*view.child, value_row);
  }
  return true;
}

IntegerValue integer_at(const ArrayView& view, int64_t row) {
  switch (view.encoding) {
    case ColumnEncoding::kBoolByte:
      return IntegerValue{false, element<uint8_t>(view, row) != 0 ? 1u : 0u};
    case ColumnEncoding::kBoolBit:
      return IntegerValue{false, bit(view.data, view.bit_offset + row) ? 1u : 0u};
    case ColumnEncoding::kDictionary:
      return integer_at(*view.child, dictionary_row_at(view, row));
    default:
      return fixed_integer(view.encoding, view.data + row * view.stride, view.byte_swapped);
  }
}

double real_at(const ArrayView& view, int64_t row) {
  switch (view.encoding) {
    case ColumnEncoding::kFloat16:
      return half_to_float(element<uint16_t>(view, row));
    case ColumnEncoding::kFloat32:
      return element<float>(view, row);
    case ColumnEncoding::kFloat64:
      return element<double>(view, row);
    case ColumnEncoding::kDictionary:
      return real_at(*view.child, dictionary_row_at(view, row));
    default: {
      // An integer becomes the nearest double, as Python's float() rounds an int.
      const IntegerValue value = integer_at(view, row);
      const double magnitude = static_cast<double>(value.magnitude);
      return value.negative ? -magnitude : magnitude;
    }
  }
}

std::string_view text_view_at(const ArrayView& view, int64_t row) {
  if (view.encoding == ColumnEncoding::kUtf8View) {
    const uint8_t* at = view.data + row * 16;
    const int32_t size = load<int32_t>(at, false);
    if (size <= 0) return {};
    if (size <= 12) return {reinterpret_cast<const char*>(at + 4), static_cast<size_t>(size)};
    const int32_t buffer = load<int32_t>(at + 8, false);
    const int32_t offset = load<int32_t>(at + 12, false);
    // A view that names no data buffer reads as empty rather than out of bounds.
    if (buffer < 0 || static_cast<size_t>(buffer) >= view.view_buffers.size()) return {};
    return {reinterpret_cast<const char*>(view.view_buffers[buffer] + offset),
            static_cast<size_t>(size)};
  }
  const bool large = view.encoding == ColumnEncoding::kLargeUtf8;
  const int64_t begin = offset_at(view, row, large);
  const int64_t end = offset_at(view, row + 1, large);
  // A producer may leave the characters unallocated when every text is empty.
  if (end <= begin || view.chars == nullptr) return {};
  return {reinterpret_cast<const char*>(view.chars + begin), static_cast<size_t>(end - begin)};
}

void append_text_at(const ArrayView& view, int64_t row, std::string* out) {
  switch (view.encoding) {
    case ColumnEncoding::kUcs4: {
      const uint8_t* at = view.data + row * view.stride;
      int64_t used = view.width;
      while (used > 0 && load<uint32_t>(at + (used - 1) * 4, view.byte_swapped) == 0) --used;
      for (int64_t i = 0; i < used; ++i) {
        append_utf8(load<uint32_t>(at + i * 4, view.byte_swapped), out);
      }
      return;
    }
    case ColumnEncoding::kUtf8:
    case ColumnEncoding::kLargeUtf8:
    case ColumnEncoding::kUtf8View:
      out->append(text_view_at(view, row));
      return;
    case ColumnEncoding::kDictionary:
      append_text_at(*view.child, dictionary_row_at(view, row), out);
      return;
    default:
      return;
  }
}

std::optional<uint32_t> invalid_code_point_at(const ArrayView& view, int64_t row) {
  const uint8_t* at = view.data + row * view.stride;
  for (int64_t i = 0; i < view.width; ++i) {
    const uint32_t code_point = load<uint32_t>(at + i * 4, view.byte_swapped);
    if (code_point > 0x10ffff || (code_point >= 0xd800 && code_point <= 0xdfff)) return code_point;
  }
  return std::nullopt;
}

void list_range_at(const ArrayView& view, int64_t row, int64_t* begin, int64_t* end) {
  const bool large = view.encoding == ColumnEncoding::kLargeList;
  *begin = offset_at(view, row, large);
  *end = offset_at(view, row + 1, large);
  if (*end < *begin) *end = *begin;
}

int64_t dictionary_row_at(const ArrayView& view, int64_t row) {
  const IntegerValue index =
      fixed_integer(view.index_encoding, view.data + row * view.stride, view.byte_swapped);
  if (index.negative || index.magnitude >= static_cast<uint64_t>(view.child->length)) return -1;
  return static_cast<int64_t>(index.magnitude);
}

std::string decimal_text(IntegerValue value) {
  std::string text = std::to_string(value.magnitude);
  if (value.negative) text.insert(text.begin(), '-');
  return text;
}

}  // namespace korvane::python
