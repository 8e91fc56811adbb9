// CandidateSource: the stream a run reads its candidates from, a block of rows at a time.
// Stage 1 looks at every row's identifier and carried values in the block; it asks the
// source for the rest of a row (complete) only when the row enters the pool, and for the
// row's object only when a dropped row is retained. Rows are read in input order.
#pragma once

#include <cstddef>
#include <span>
#include <variant>
#include <vector>

#include "engine/candidate.h"
#include "engine/object_handle.h"
#include "engine/records.h"
#include "engine/row_block.h"

namespace korvane {

class CandidateSource {
 public:
  virtual ~CandidateSource() = default;

  // Adds the next rows to `block`, which the caller has cleared. Returns false at end of
  // input; true with no row added is allowed (every item read this time failed).
  virtual bool fill(RowBlock& block) = 0;
  // Group values, cover, cost and object of row `row` of the last fill, written into `out`
  // (its id and values are the caller's). At most once per row.
  virtual void complete(size_t row, Candidate& out) = 0;
  // complete() for rows 0, 1, ... of the last fill into records[0], records[1], ...: the
  // whole block entering the pool at once.
  virtual void complete_block(std::span<PoolRecord> records);
  // The object of row `row` of the last fill, for a retained drop. At most once per row, and
  // never for a row that was completed.
  virtual ObjectHandle object(size_t row) = 0;
  // Called once, right after the fill that reported the end: let go of the input.
  virtual void close() {}
  // Whether no two rows of the whole input share an identifier.
  virtual bool ids_distinct() const { return false; }
  // The order this source proposes for the values it carried on axis `axis`: positions in
  // the input (from 0), best first; empty for none. A retriever's list is usually in the
  // entry order already. Stage 2 takes a proposal only when it is exactly the entry order of
  // the survivors' values there, and sorts them otherwise, so a proposal spares work and
  // never decides anything. Called once per axis after close().
  virtual std::vector<uint32_t> proposed_order(size_t /*axis*/) { return {}; }
  // Whether proposed_order(axis) is known to list exactly the rows that carried a value on
  // `axis` (no NaN among them), each after the one before by that value (higher first) and
  // then by integer identifier: the entry order of the carried values, strictly. False when
  // the source did not check.
  virtual bool proposal_checked(size_t /*axis*/) const { return false; }
  // Whether every candidate this source completes owns nothing to let go: a row object, no
  // text (id, group value or cover item). Asked after close().
  virtual bool completes_natively() const { return false; }
};

// A source that yields whole candidates one at a time, read through the block interface.
class PullSource : public CandidateSource {
 public:
  struct EndOfInput {};
  // The source recorded an error of its own for this item; the run pulls again.
  struct NothingThisTime {};
  using Pull = std::variant<EndOfInput, Candidate, NothingThisTime>;

  // Candidates carry one value slot per registered axis. Called until EndOfInput.
  virtual Pull pull() = 0;

  bool fill(RowBlock& block) final;
  void complete(size_t row, Candidate& out) final;
  ObjectHandle object(size_t row) final;

 private:
  // The candidates of the last fill, by row. Room for a whole block is kept, so the views
  // of their ids stay put and filling allocates nothing.
  std::vector<Candidate> held_;
  bool ended_ = false;
};

}  // namespace korvane
