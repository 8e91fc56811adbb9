#include "python/columns/buffer_format.h"

#include <bit>
#include <cstddef>

namespace korvane::python {

namespace {

struct Code {
  char code;
  ColumnEncoding encoding;
  int64_t native_size;    // '@' mode: the C type's size on this machine
  int64_t standard_size;  // '=', '<', '>', '!' modes; 0 where the code has none
};

// The type codes of one number or bool, with their sizes in both modes.
constexpr Code kCodes[] = {
    {'b', ColumnEncoding::kInt8, 1, 1},
    {'B', ColumnEncoding::kUInt8, 1, 1},
    {'h', ColumnEncoding::kInt16, 2, 2},
    {'H', ColumnEncoding::kUInt16, 2, 2},
    {'i', ColumnEncoding::kInt32, sizeof(int), 4},
    {'I', ColumnEncoding::kUInt32, sizeof(unsigned), 4},
    {'l', ColumnEncoding::kInt64, sizeof(long), 4},
    {'L', ColumnEncoding::kUInt64, sizeof(unsigned long), 4},
    {'q', ColumnEncoding::kInt64, sizeof(long long), 8},
    {'Q', ColumnEncoding::kUInt64, sizeof(unsigned long long), 8},
    {'n', ColumnEncoding::kInt64, sizeof(std::ptrdiff_t), 0},
    {'N', ColumnEncoding::kUInt64, sizeof(std::size_t), 0},
    {'e', ColumnEncoding::kFloat16, 2, 2},
    {'f', ColumnEncoding::kFloat32, 4, 4},
    {'d', ColumnEncoding::kFloat64, 8, 8},
    {'?', ColumnEncoding::kBoolByte, 1, 1},
};

// The encoding of a signed or unsigned integer of `size` bytes.
ColumnEncoding integer_of_size(ColumnEncoding declared, int64_t size) {
  const bool is_signed = declared == ColumnEncoding::kInt8 || declared == ColumnEncoding::kInt16 ||
                         declared == ColumnEncoding::kInt32 || declared == ColumnEncoding::kInt64;
  switch (size) {
    case 1:
      return is_signed ? ColumnEncoding::kInt8 : ColumnEncoding::kUInt8;
    case 2:
      return is_signed ? ColumnEncoding::kInt16 : ColumnEncoding::kUInt16;
    case 4:
      return is_signed ? ColumnEncoding::kInt32 : ColumnEncoding::kUInt32;
    default:
      return is_signed ? ColumnEncoding::kInt64 : ColumnEncoding::kUInt64;
  }
}

}  // namespace

std::optional<BufferElement> parse_buffer_format(std::string_view format) {
  bool native_sizes = true;
  bool big_endian = std::endian::native == std::endian::big;
  if (!format.empty()) {
    switch (format.front()) {
      case '@':
        format.remove_prefix(1);
        break;
      case '=':
        native_sizes = false;
        format.remove_prefix(1);
        break;
      case '<':
        native_sizes = false;
        big_endian = false;
        format.remove_prefix(1);
        break;
      case '>':
      case '!':
        native_sizes = false;
        big_endian = true;
        format.remove_prefix(1);
        break;
      default:
        break;
    }
  }
  int64_t count = 1;
  bool counted = false;
  while (!format.empty() && format.front() >= '0' && format.front() <= '9') {
    if (!counted) count = 0;
    counted = true;
    if (count > (int64_t{1} << 40)) return std::nullopt;
    count = count * 10 + (format.front() - '0');
    format.remove_prefix(1);
  }
  if (format.size() != 1) return std::nullopt;
  const char code = format.front();

  BufferElement element;
  element.byte_swapped = big_endian != (std::endian::native == std::endian::big);
  if (code == 'O') {
    if (count != 1) return std::nullopt;
    element.objects = true;
    element.size = sizeof(void*);
    return element;
  }
  if (code == 'w') {
    element.encoding = ColumnEncoding::kUcs4;
    element.width = count;
    element.size = count * 4;
    return element;
  }
  if (count != 1) return std::nullopt;
  for (const Code& known : kCodes) {
    if (known.code != code) continue;
    const int64_t size = native_sizes ? known.native_size : known.standard_size;
    if (size == 0) return std::nullopt;
    element.size = size;
    element.encoding = category_of(known.encoding) == ColumnCategory::kInteger
                           ? integer_of_size(known.encoding, size)
                           : known.encoding;
    return element;
  }
  return std::nullopt;
}

}  // namespace korvane::python
