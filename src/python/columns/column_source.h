// The candidate source of Engine.run_columns: row i of the columns is one candidate, whose
// object is row row_offset + i (a row handle; the binding makes its int only when a result
// shows it). Rows whose id matches pad_id are passed over and never counted. A fill reads
// the ids and scores of a block of rows straight from the columns; groups, cost and cover
// are read only for the rows stage 1 keeps. Nothing here touches a Python object, so a run
// may read it without the interpreter lock while the columns' owners keep them alive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/candidate_source.h"
#include "python/columns/column.h"
#include "python/columns/id_key.h"

namespace korvane::python {

class ColumnSource final : public korvane::CandidateSource {
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

  bool fill(RowBlock& block) override;
  void complete(size_t row, Candidate& out) override;
  ObjectHandle object(size_t row) override;

 private:
  // Walks one column's chunks for rows read in increasing order.
  class Cursor {
   public:
    explicit Cursor(const Column* column) : column_(column) {}
    // The chunk holding `row` and the row's index within it. `row` never decreases.
    std::pair<const ArrayView*, int64_t> at(int64_t row);

   private:
    const Column* column_;
    size_t next_chunk_ = 0;
    const ArrayView* chunk_ = nullptr;
    int64_t start_ = 0;
    int64_t end_ = 0;
  };

  IdView read_id(int64_t row, size_t slot);
  bool fill_columns(RowBlock& block);
  // Whether a fast-read id (a non-negative integer or a text) is pad_id. Precondition: pad_.
  bool pads(const IdView& id) const;
  void read_scores(size_t axis, size_t first, size_t count, RowBlock& block);

  Columns columns_;
  int64_t row_offset_;
  std::optional<IdKey> pad_;
  int64_t next_ = 0;
  Cursor id_cursor_;
  std::vector<std::optional<Cursor>> score_cursors_;  // per axis position
  int64_t row_of(size_t slot) const {
    return first_row_ >= 0 ? first_row_ + static_cast<int64_t>(slot) : rows_[slot];
  }

  // The block's first row when its rows are consecutive, else -1 and rows_ holds them.
  int64_t first_row_ = -1;
  // Per block slot: the row it holds, and the text its id views when the id is a text.
  std::vector<int64_t> rows_;
  std::vector<std::string> texts_;
};

}  // namespace korvane::python
