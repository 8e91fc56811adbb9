#include "python/columns/column_open.h"

#include <cstdint>
#include <limits>
#include <optional>

#include "python/columns/arrow_import.h"
#include "python/columns/buffer_import.h"
#include "python/columns/column_messages.h"
#include "python/columns/sequence_import.h"

namespace korvane::python {

namespace {

bool accepts(ColumnRole role, const Column& column) {
  const ColumnCategory category = column.category();
  switch (role) {
    case ColumnRole::kIds:
      // A column of nothing but nulls has no identifier to give; the null check names it.
      return category == ColumnCategory::kInteger || category == ColumnCategory::kText ||
             category == ColumnCategory::kIdentifier || category == ColumnCategory::kNull;
    case ColumnRole::kScores:
      return category == ColumnCategory::kInteger || category == ColumnCategory::kReal ||
             category == ColumnCategory::kBool || category == ColumnCategory::kNull;
    case ColumnRole::kGroups:
      return category == ColumnCategory::kInteger || category == ColumnCategory::kText ||
             category == ColumnCategory::kNull;
    case ColumnRole::kCost:
      return category == ColumnCategory::kInteger || category == ColumnCategory::kNull;
    case ColumnRole::kCover: {
      if (category == ColumnCategory::kNull) return true;
      const ColumnCategory items = column.item_category();
      return category == ColumnCategory::kList &&
             (items == ColumnCategory::kText || items == ColumnCategory::kInteger ||
              items == ColumnCategory::kNull);
    }
  }
  return false;
}

// Whether any row of the chunk may be missing.
bool may_miss(const ArrayView& chunk) {
  return chunk.validity != nullptr || chunk.encoding == ColumnEncoding::kNull ||
         chunk.encoding == ColumnEncoding::kDictionary;
}

bool check_ids_present(const Column& column) {
  int64_t start = 0;
  for (const ArrayView* chunk : column.chunks()) {
    if (may_miss(*chunk)) {
      for (int64_t row = 0; row < chunk->length; ++row) {
        if (!is_present(*chunk, row)) return raise_null_id(column.name(), start + row);
      }
    }
    start += chunk->length;
  }
  return true;
}

// A fixed-width text must hold Unicode characters only, as a str does.
bool check_code_points(const Column& column) {
  int64_t start = 0;
  for (const ArrayView* chunk : column.chunks()) {
    if (chunk->encoding == ColumnEncoding::kUcs4) {
      for (int64_t row = 0; row < chunk->length; ++row) {
        if (std::optional<uint32_t> bad = invalid_code_point_at(*chunk, row)) {
          return raise_bad_code_point(column.name(), start + row, *bad);
        }
      }
    }
    start += chunk->length;
  }
  return true;
}

bool check_costs(const Column& column) {
  int64_t start = 0;
  for (const ArrayView* chunk : column.chunks()) {
    for (int64_t row = 0; row < chunk->length; ++row) {
      if (!is_present(*chunk, row)) continue;
      const IntegerValue value = integer_at(*chunk, row);
      if (value.negative || value.magnitude > std::numeric_limits<uint32_t>::max()) {
        return raise_bad_cost(column.name(), start + row, decimal_text(value));
      }
    }
    start += chunk->length;
  }
  return true;
}

}  // namespace

bool open_column(PyObject* object, const ColumnRequest& request, SequenceCheck& sequences,
                 Column* out) {
  // A str is a sequence of its characters and a dict indexes by key; neither is a column.
  if (PyUnicode_Check(object) || PyDict_Check(object)) {
    return raise_not_a_column(request.name, object);
  }
  switch (import_arrow(object, request, out)) {
    case ArrowImport::kFailed:
      return false;
    case ArrowImport::kImported:
      break;
    case ArrowImport::kNotArrow:
      if (PyObject_CheckBuffer(object)) {
        switch (import_buffer(object, request, out)) {
          case BufferImport::kFailed:
            return false;
          case BufferImport::kObjects:
            if (!import_sequence(object, request, sequences, out)) return false;
            break;
          case BufferImport::kImported:
            break;
        }
      } else {
        const int is_sequence = sequences(object);
        if (is_sequence < 0) return false;
        if (is_sequence == 0) return raise_not_a_column(request.name, object);
        if (!import_sequence(object, request, sequences, out)) return false;
      }
      break;
  }

  if (!accepts(request.role, *out)) return raise_unsupported_format(request, out->format());
  switch (request.role) {
    case ColumnRole::kIds:
      return check_ids_present(*out) && check_code_points(*out);
    case ColumnRole::kGroups:
      return check_code_points(*out);
    case ColumnRole::kCost:
      return !request.read || check_costs(*out);
    default:
      return true;
  }
}

}  // namespace korvane::python
