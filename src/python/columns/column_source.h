// The candidate source of Engine.run_columns: row i of the columns is one candidate, whose
// object is the Python int row_offset + i. Rows whose id matches pad_id are passed over
// and never counted. Every value is read from the columns in place as the row is pulled;
// the only Python object a pull makes is the row number.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/candidate_source.h"
#include "python/captured_error.h"
#include "python/columns/column.h"
#include "python/columns/id_key.h"

namespace korvane::python {

class ColumnSource final : public korvane::PullSource {
 public:
  // The columns a run reads, all of the ids' length and alive for the whole run.
  struct Columns {
    const Column* ids = nullptr;
    std::vector<const Column*> scores;  // one per axis position; null where none was given
    std::vector<const Column*> groups;  // one per position of the group key list, or none
    const Column* cost = nullptr;       // null when cost is not read
    const Column* cover = nullptr;      // null when cover is not read
  };

  // Precondition: row_offset + the number of rows fits in 64 bits.
  ColumnSource(Columns columns, int64_t row_offset, std::optional<IdKey> pad);

  Pull pull() override;

  // The first recorded exception (a row number that could not be made), if any.
  CapturedError take_error() { return std::move(error_); }

 private:
  Columns columns_;
  int64_t row_offset_;
  std::optional<IdKey> pad_;
  int64_t next_ = 0;
  CapturedError error_;
};

}  // namespace korvane::python
