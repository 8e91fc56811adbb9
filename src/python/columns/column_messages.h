// The messages of column and ranked-list input, in one place. Each sets its Python
// exception and returns false, so that a check can `return raise_...(...)`. Names of
// columns, axes and keys appear as they are, without quoting added inside them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "python/columns/column_request.h"

namespace korvane::python {

// TypeError: the object is no column at all.
bool raise_not_a_column(const std::string& name, PyObject* object);
// ValueError: a buffer of another dimension than one.
bool raise_not_one_dimensional(const std::string& name, int dimensions);
// TypeError: rows of a kind the column's role cannot take, named by their format string.
bool raise_unsupported_format(const ColumnRequest& request, std::string_view format);
// ValueError: two columns that must have one row per candidate differ in length.
bool raise_length_mismatch(const std::string& reference, int64_t reference_length,
                           const std::string& name, int64_t length);
// ValueError: a missing identifier.
bool raise_null_id(const std::string& name, int64_t row);
// ValueError: a cost outside 0 to 2^32 - 1.
bool raise_bad_cost(const std::string& name, int64_t row, const std::string& value);
// ValueError: a fixed-width text holding a value that is no Unicode character.
bool raise_bad_code_point(const std::string& name, int64_t row, uint32_t code_point);
// ValueError: an Arrow array whose layout contradicts its format.
bool raise_arrow_structure(const std::string& name, std::string_view detail);
// ValueError: an Arrow stream that reported an error.
bool raise_arrow_stream(const std::string& name, std::string_view detail);
// ValueError: a key of `scores` or `lists` that names no registered axis.
bool raise_unknown_axis_key(std::string_view mapping, std::string_view key);
// ValueError: a key of `groups` that no group maximum or requirement uses.
bool raise_unused_group_key(std::string_view key);
// TypeError: a key of a mapping of columns that is not a str.
bool raise_key_not_text(std::string_view mapping, PyObject* key);
// TypeError with the given text, for arguments of the wrong shape.
bool raise_wrong_shape(std::string_view message);
// TypeError: an id of a ranked list that is neither an integer nor a text.
bool raise_id_not_joinable(const std::string& name, int64_t row, PyObject* object);
// TypeError: a pad_id that is neither an integer nor a text.
bool raise_pad_not_id(PyObject* object);
// OverflowError: row numbers past the 64-bit range.
bool raise_row_offset_overflow();

}  // namespace korvane::python
