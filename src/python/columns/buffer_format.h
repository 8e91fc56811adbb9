// The element a buffer's format string describes (the struct module's syntax, as the buffer
// protocol uses it): an optional byte order and size mode ('@', '=', '<', '>', '!'), an
// optional count, one type code. A column takes one number, one bool or one fixed-width
// text ("<5w": five UCS-4 code points) per row.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "python/columns/array_view.h"

namespace korvane::python {

struct BufferElement {
  ColumnEncoding encoding = ColumnEncoding::kNull;
  int64_t size = 0;  // bytes per row the format implies
  bool byte_swapped = false;
  int64_t width = 0;     // kUcs4: code points per row
  bool objects = false;  // 'O': Python object pointers, read through the sequence protocol
};

// Empty when the format is not one element of a kind a column can hold.
std::optional<BufferElement> parse_buffer_format(std::string_view format);

}  // namespace korvane::python
