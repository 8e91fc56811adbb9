#include "engine/pipeline.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <numeric>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "budget/tail_mass.h"
#include "engine/entry_order.h"
#include "engine/entry_sort.h"
#include "engine/fusion.h"
#include "engine/inline_vector.h"
#include "engine/interval_clock.h"
#include "engine/invariant.h"
#include "engine/records.h"
#include "engine/rejection_log.h"
#include "engine/row_block.h"
#include "engine/shortlist.h"
#include "engine/stage_pool.h"
#include "select/selection.h"

namespace korvane {

namespace {

// A NaN from an axis is stored as absent.
std::optional<float> stored_value(std::optional<float> v) {
  if (v && std::isnan(*v)) return std::nullopt;
  return v;
}

// Where a row of the block stands after the stage-1 filters.
struct RowFate {
  enum Kind : uint8_t { Alive, Unary, NotScored } kind = Alive;
  size_t index = 0;  // the unary constraint, or the axis
};

// Stage 1's per-block buffers, kept on each thread between runs: a run over a few
// candidates, or none, then neither allocates nor clears them. A run inside a run (a
// callback's) finds none kept and makes its own.
struct BlockBuffers {
  static constexpr size_t kMostAxesKept = 64;

  std::unique_ptr<RowBlock> block;
  std::vector<std::optional<float>> values;  // axis-major, kCapacity rows per axis
  std::vector<RowFate> fates;
  std::vector<std::optional<float>> row_values;  // one row's, per axis

  // Buffers for `axis_count` axes, the kept ones when they fit.
  static BlockBuffers lend(size_t axis_count) {
    BlockBuffers buffers = std::move(kept);
    kept = BlockBuffers();
    if (!buffers.block || buffers.block->axis_count() != axis_count) {
      buffers.block = std::make_unique<RowBlock>(axis_count);
      buffers.values.assign(axis_count * RowBlock::kCapacity, std::nullopt);
    }
    // Another configuration may have left values for axes that are not cheap in this one.
    buffers.row_values.assign(axis_count, std::nullopt);
    buffers.fates.resize(RowBlock::kCapacity);
    return buffers;
  }
  static void give_back(BlockBuffers buffers) {
    if (buffers.block && buffers.block->axis_count() <= kMostAxesKept) kept = std::move(buffers);
  }

  static thread_local BlockBuffers kept;
};

thread_local BlockBuffers BlockBuffers::kept;

// Stage 1's working state: every drop reaches `drops_` as its step makes it, so retention
// sees the drops in run order.
class StageOne {
 public:
  StageOne(const Plan& plan, CandidateSource& source)
      : plan_(plan),
        engine_(plan.engine()),
        source_(source),
        cheap_(plan.stage_one_axes()),
        whole_rows_(plan.whole_rows()),
        plain_(plan.plain_stage_one()),
        carried_as_stored_(plan.carried_as_stored()),
        drops_(engine_.rejections),
        pool_(plan.capacity()),
        buffers_(BlockBuffers::lend(engine_.axes.size())),
        block_(buffers_.block.get()),
        values_(buffers_.values),
        fates_(buffers_.fates),
        row_values_(buffers_.row_values) {
    if (whole_rows_) rows_.resize(RowBlock::kCapacity);
    axes_.reserve(engine_.axes.size());
    for (const AxisDescriptor& axis : engine_.axes) axes_.push_back(ScorerTrace{axis.name});
  }

  ~StageOne() { BlockBuffers::give_back(std::move(buffers_)); }
  StageOne(const StageOne&) = delete;
  StageOne& operator=(const StageOne&) = delete;

  // for_run: the shortlist goes straight on to stage 2 of the same run.
  Shortlist execute(bool for_run);

 private:
  void screen(size_t row_count);
  void screen_plainly(size_t row_count);
  void apply_unary_minima(size_t row_count);
  void evaluate_cheap_axes(size_t row_count);
  float admission_score(size_t row);
  void drop_row(size_t row, RejectKind kind, std::string_view name);
  // Drops a row a filter stopped (a unary minimum, or the reject policy) under its reason;
  // false for a row still alive.
  bool drop_filtered(size_t row);
  void admit_row(size_t row, float score);
  // Writes row `row` into a record the pool admitted it to (which may hold an earlier row).
  void fill_record(PoolRecord& record, size_t row);
  // The same for a whole block of a plain stage 1, admitted at once: records[row] by row.
  void fill_block(std::span<PoolRecord> records);

  std::optional<float>& value_at(size_t axis, size_t row) {
    return values_[axis * RowBlock::kCapacity + row];
  }

  const Plan& plan_;
  const Engine& engine_;
  CandidateSource& source_;
  std::span<const CheapAxis> cheap_;
  bool whole_rows_;  // some cheap axis needs each row as a whole candidate
  // Every cheap axis reads its carried value as it is: screen_plainly applies.
  bool plain_;
  // Per axis: 1 for a cheap axis that stores the value carried at its own position as it is
  // (NaN as absent): under plain_, every cheap axis.
  std::span<const uint8_t> carried_as_stored_;
  RejectionLog drops_;
  StagePool pool_;
  uint64_t input_count_ = 0;

  // Per block: the rows, their stage-1 axis values (axis-major), their fates, and, when a
  // cheap axis needs them, the rows as whole candidates.
  BlockBuffers buffers_;
  RowBlock* block_;
  std::vector<std::optional<float>>& values_;
  std::vector<RowFate>& fates_;
  std::vector<Candidate> rows_;
  std::span<std::optional<float>> row_values_;  // buffers_.row_values
  float scores_[RowBlock::kCapacity];           // screen_plainly: the block's admission scores

  // Elapsed times accumulate in clock ticks and become nanoseconds at the end.
  IntervalClock clock_;
  std::vector<ScorerTrace> axes_;
};

// The ranked records' storage, kept on each thread from one run to the next when it is
// small: building and freeing a few hundred kilobytes per run otherwise makes the allocator
// hand the memory back to the system and fault it in again, every run.
constexpr size_t kKeptRankedBytes = size_t{1} << 20;
thread_local std::vector<ScoredRecord> spare_ranked;

std::vector<ScoredRecord> storage_from_last_run() {
  std::vector<ScoredRecord> storage = std::move(spare_ranked);
  storage.clear();
  return storage;
}

// Releases the records (and so their objects) now; keeps the storage when it is small.
void keep_for_next_run(std::vector<ScoredRecord> ranked) {
  ranked.clear();
  if (ranked.capacity() * sizeof(ScoredRecord) <= kKeptRankedBytes) {
    spare_ranked = std::move(ranked);
  }
}

// Stage 2's working state, from a shortlist on: the expensive axes, fusion, the threshold,
// ranking, the budget and selection.
class StageTwo {
 public:
  StageTwo(const Plan& plan, Shortlist shortlist, std::span<Scorer* const> overrides)
      : plan_(plan),
        engine_(plan.engine()),
        pool_(std::move(shortlist.members)),
        arrival_(std::move(shortlist.arrival)),
        proposed_orders_(std::move(shortlist.proposed_orders)),
        proposals_checked_(std::move(shortlist.proposals_checked)),
        members_native_(shortlist.members_native),
        drops_(engine_.rejections, shortlist.counts, std::move(shortlist.rejected)) {
    scorers_.reserve(engine_.scorers.size());
    for (size_t axis = 0; axis < engine_.scorers.size(); ++axis) {
      Scorer* stand_in = axis < overrides.size() ? overrides[axis] : nullptr;
      scorers_.push_back(stand_in != nullptr ? stand_in : engine_.scorers[axis].get());
    }
    trace_.input_count = shortlist.input_count;
    trace_.pool_capacity = static_cast<uint32_t>(plan.capacity());
    if (plan.admission()) trace_.admission_scorer = engine_.axes[*plan.admission()].name;
    trace_.scorers = std::move(shortlist.axes);
  }

  Result<RunOutcome> execute();

 private:
  Status score_expensive_axes(std::vector<PoolRecord>& pool);
  std::vector<PoolRecord> apply_reject_policy(std::vector<PoolRecord> pool);
  // Fuses the survivors, drops those below the threshold (in survivor order) and ranks the
  // rest, which stay where they are: the ranking points into `survivors`.
  std::vector<ScoredRecord> fuse_and_rank(std::vector<PoolRecord>& survivors);
  // How many of the ranked records decide the selection when it is a plain top k (no set
  // constraint, requirement or objective) and no further drop is kept: the best k + 1,
  // the one after the last member giving the cut margin. Absent otherwise.
  std::optional<size_t> deciding_head() const;
  // Fixes the budget (the tail-mass evidence goes into the trace) and frames the selection.
  SelectionProblem selection_problem(std::span<const ScoredRecord> ranked);
  RunOutcome assemble(std::vector<ScoredRecord>& ranked, const SelectionProblem& problem,
                      const SelectionResult& result, size_t pool_size);

  const Plan& plan_;
  const Engine& engine_;
  std::vector<PoolRecord> pool_;
  std::vector<PoolRecord> survivors_;  // what the ranking points into
  std::vector<uint64_t> arrival_;      // per pool member: its input position
  std::vector<std::vector<uint32_t>> proposed_orders_;
  std::vector<uint8_t> proposals_checked_;
  bool members_native_ = false;
  InlineVector<Scorer*, 8> scorers_;  // per axis, this run's stand-ins applied
  RejectionLog drops_;
  AxisRanks ranks_;
  IntervalClock clock_;
  RunTrace trace_;
};

Shortlist StageOne::execute(bool for_run) {
  for (;;) {
    block_->clear();
    // A plain stage 1 drops every row below the pool's weakest member, and the floor only
    // rises; with no drop kept, such a row's object is never needed. Short of full, the
    // floor is the least key, below which nothing falls.
    if (plain_ && !drops_.keeps_next()) {
      if (std::optional<size_t> admission = plan_.admission()) {
        block_->promise_refusal(*admission, pool_.floor_key());
      }
    }
    if (!source_.fill(*block_)) break;
    if (block_->size() == 0) continue;
    if (plain_) {
      screen_plainly(block_->size());
    } else {
      screen(block_->size());
    }
  }
  source_.close();
  Shortlist shortlist;
  // Ties between members are settled by identifier before position, so with distinct ids
  // and nothing that shows the pool's own order, any order gives the same stage 2.
  const bool order_unseen =
      for_run && source_.ids_distinct() && plan_.expensive_axes().empty() && !drops_.keeps_next();
  shortlist.members = order_unseen ? pool_.drain_unordered(&shortlist.admission, &shortlist.arrival)
                                   : pool_.drain(&shortlist.admission, &shortlist.arrival);
  shortlist.input_count = input_count_;
  shortlist.members_native = for_run && source_.completes_natively();
  const IntervalClock::Rate rate = clock_.rate();
  for (ScorerTrace& stats : axes_) stats.elapsed_nanos = rate.nanos(stats.elapsed_nanos);
  shortlist.axes = std::move(axes_);
  shortlist.counts = drops_.counts();
  shortlist.rejected = drops_.take_entries();
  // Only rrf ranks each axis's values, and a proposal is taken only over distinct integer
  // ids; a source whose ids may repeat (every dict stream) is not asked.
  if (for_run && plan_.fuser().method() == FusionMethod::Rrf && source_.ids_distinct()) {
    for (size_t axis = 0; axis < engine_.axes.size(); ++axis) {
      std::vector<uint32_t> order = source_.proposed_order(axis);
      if (order.empty()) continue;
      shortlist.proposed_orders.resize(engine_.axes.size());
      shortlist.proposals_checked.resize(engine_.axes.size());
      // A source's check holds for the values stored when the axis stores the value carried
      // as it is, and names every participant only when no absent value takes part.
      shortlist.proposals_checked[axis] = source_.proposal_checked(axis) &&
                                          carried_as_stored_[axis] != 0 &&
                                          engine_.missing.policy == MissingPolicy::Skip;
      shortlist.proposed_orders[axis] = std::move(order);
    }
  }
  return shortlist;
}

Result<RunOutcome> StageTwo::execute() {
  std::vector<PoolRecord> pool = std::move(pool_);
  const size_t pool_size = pool.size();

  if (Status status = score_expensive_axes(pool); !status.ok()) return status.error();
  survivors_ = apply_reject_policy(std::move(pool));
  std::vector<ScoredRecord> ranked = fuse_and_rank(survivors_);

  SelectionProblem problem = selection_problem(ranked);
  Result<SelectionResult> selection = select(problem, ranked);
  if (!selection.ok()) return selection.error();
  RunOutcome outcome = assemble(ranked, problem, selection.value(), pool_size);
  keep_for_next_run(std::move(ranked));
  StagePool::keep_storage(std::move(survivors_), members_native_);
  return outcome;
}

// Stage 1 over one block: the filters and the cheap axes for every row, then, row by row in
// input order, the drop or the offer to the pool.
void StageOne::screen(size_t row_count) {
  input_count_ += row_count;
  std::fill(fates_.begin(), fates_.begin() + row_count, RowFate{});
  apply_unary_minima(row_count);

  if (whole_rows_) {
    for (size_t row = 0; row < row_count; ++row) {
      if (fates_[row].kind != RowFate::Alive) continue;
      Candidate& candidate = rows_[row];
      candidate.id = block_->id(row).to_id();
      candidate.values.resize(engine_.axes.size());
      for (size_t axis = 0; axis < engine_.axes.size(); ++axis) {
        candidate.values[axis] = block_->value(axis, row);
      }
      source_.complete(row, candidate);
    }
  }
  evaluate_cheap_axes(row_count);

  for (size_t row = 0; row < row_count; ++row) {
    if (drop_filtered(row)) continue;
    const float score = admission_score(row);
    if (pool_.admits(score, block_->id(row))) {
      admit_row(row, score);
    } else {
      drop_row(row, RejectKind::OutOfPool, {});
    }
  }
}

bool StageOne::drop_filtered(size_t row) {
  const RowFate& fate = fates_[row];
  if (fate.kind == RowFate::Unary) {
    drop_row(row, RejectKind::UnaryConstraint, engine_.unary_constraints[fate.index].id);
    return true;
  }
  if (fate.kind == RowFate::NotScored) {
    drop_row(row, RejectKind::NotScored, engine_.axes[fate.index].name);
    return true;
  }
  return false;
}

// screen() for a plain stage 1, straight from the block's arrays. Without filters (unary
// minima, the reject policy) each cheap axis counts its calls and missing values over the
// whole block; either way a block whose rows all fall below the pool's weakest member is
// settled at once when no drop is kept.
void StageOne::screen_plainly(size_t row_count) {
  input_count_ += row_count;
  const bool reject = engine_.missing.policy == MissingPolicy::Reject;
  const bool filtered = reject || !engine_.unary_constraints.empty();
  if (filtered) {
    std::fill(fates_.begin(), fates_.begin() + row_count, RowFate{});
    apply_unary_minima(row_count);
  }
  for (const CheapAxis& cheap : cheap_) {
    ScorerTrace& stats = axes_[cheap.axis];
    const float* values = block_->values(cheap.axis);
    const uint8_t* present = block_->present(cheap.axis);
    const uint64_t start = clock_.now();
    if (!filtered) {
      uint32_t found = 0;
      for (size_t row = 0; row < row_count; ++row) {
        found += static_cast<uint32_t>((present[row] != 0) & (values[row] == values[row]));
      }
      stats.calls += row_count;
      stats.missing += row_count - found;
    } else {
      for (size_t row = 0; row < row_count; ++row) {
        if (fates_[row].kind != RowFate::Alive) continue;
        ++stats.calls;
        if ((present[row] != 0) & (values[row] == values[row])) continue;
        ++stats.missing;
        if (reject) fates_[row] = RowFate{RowFate::NotScored, cheap.axis};
      }
    }
    stats.elapsed_nanos += IntervalClock::between(start, clock_.now());
  }

  // Every row's admission score, as admission_score() gives it.
  if (std::optional<size_t> admission = plan_.admission()) {
    const float* values = block_->values(*admission);
    const uint8_t* present = block_->present(*admission);
    const float absent = engine_.missing.policy == MissingPolicy::Impute
                             ? engine_.missing.impute_value
                             : -std::numeric_limits<float>::infinity();
    for (size_t row = 0; row < row_count; ++row) {
      const float value = values[row];
      scores_[row] = (present[row] != 0) & (value == value) ? value : absent;
    }
  } else {
    for (size_t row = 0; row < row_count; ++row) {
      for (const CheapAxis& cheap : cheap_) {
        row_values_[cheap.axis] = stored_value(block_->value(cheap.axis, row));
      }
      scores_[row] = plan_.fuser().cheap_admission_score(row_values_);
    }
  }
  // While the pool has room to spare for the whole block, all of it enters at once.
  if (!filtered && pool_.size() + row_count < pool_.capacity()) {
    fill_block(pool_.admit_all({scores_, row_count}, input_count_ - row_count));
    return;
  }
  int32_t floor = pool_.floor_key();
  // Once the pool is full most blocks hold no row that could enter it: one pass finds out.
  int32_t best = std::numeric_limits<int32_t>::min();
  for (size_t row = 0; row < row_count; ++row) {
    const bool alive = !filtered || fates_[row].kind == RowFate::Alive;
    best = std::max(best, alive ? total_order_key(scores_[row]) : best);
  }
  if (best < floor && !drops_.keeps_next()) {
    if (!filtered) {
      drops_.count(RejectKind::OutOfPool, row_count);
      return;
    }
    // No drop is kept: each is only counted, under its filter's reason or out of the pool.
    for (size_t row = 0; row < row_count; ++row) {
      if (!drop_filtered(row)) drops_.count(RejectKind::OutOfPool);
    }
    return;
  }
  uint64_t refused = 0;
  for (size_t row = 0; row < row_count; ++row) {
    if (filtered && drop_filtered(row)) continue;
    const float score = scores_[row];
    if (total_order_key(score) < floor) {
      if (drops_.keeps_next()) {
        drop_row(row, RejectKind::OutOfPool, {});
      } else {
        ++refused;
      }
      continue;
    }
    for (const CheapAxis& cheap : cheap_) {
      value_at(cheap.axis, row) = stored_value(block_->value(cheap.axis, row));
    }
    if (pool_.admits(score, block_->id(row))) {
      admit_row(row, score);
      floor = pool_.floor_key();
    } else {
      drop_row(row, RejectKind::OutOfPool, {});
    }
  }
  drops_.count(RejectKind::OutOfPool, refused);
}

void StageOne::apply_unary_minima(size_t row_count) {
  if (engine_.unary_constraints.empty()) return;
  for (size_t row = 0; row < row_count; ++row) {
    for (size_t i = 0; i < engine_.unary_constraints.size(); ++i) {
      const UnaryMin& unary = engine_.unary_constraints[i];
      std::optional<float> carried =
          unary.axis < block_->axis_count() ? block_->value(unary.axis, row) : std::nullopt;
      if (!(carried && *carried >= unary.min)) {
        fates_[row] = RowFate{RowFate::Unary, i};
        break;
      }
    }
  }
}

// Each cheap axis is timed over the block as one interval; its calls and missing count the
// rows that reached it, as if each row were evaluated alone.
void StageOne::evaluate_cheap_axes(size_t row_count) {
  const bool reject = engine_.missing.policy == MissingPolicy::Reject;
  for (const CheapAxis& cheap : cheap_) {
    ScorerTrace& stats = axes_[cheap.axis];
    uint64_t calls = 0;
    uint64_t missing = 0;
    const uint64_t start = clock_.now();
    for (size_t row = 0; row < row_count; ++row) {
      if (fates_[row].kind != RowFate::Alive) continue;
      ++calls;
      std::optional<float> v;
      if (cheap.field != nullptr) {
        v = block_->value(cheap.field->position(), row);
        if (v && cheap.field->normalizer()) v = cheap.field->normalizer()->apply(*v);
      } else {
        v = cheap.scorer->score(rows_[row]);
      }
      v = stored_value(v);
      value_at(cheap.axis, row) = v;
      if (!v) {
        ++missing;
        if (reject) fates_[row] = RowFate{RowFate::NotScored, cheap.axis};
      }
    }
    stats.elapsed_nanos += IntervalClock::between(start, clock_.now());
    stats.calls += calls;
    stats.missing += missing;
  }
}

float StageOne::admission_score(size_t row) {
  if (std::optional<size_t> axis = plan_.admission()) {
    if (std::optional<float> v = plan_.fuser().value_of(value_at(*axis, row))) return *v;
    return -std::numeric_limits<float>::infinity();
  }
  for (size_t axis : plan_.cheap_axes()) row_values_[axis] = value_at(axis, row);
  return plan_.fuser().cheap_admission_score(row_values_);
}

void StageOne::drop_row(size_t row, RejectKind kind, std::string_view name) {
  if (!drops_.keeps_next()) {
    drops_.count(kind);
    return;
  }
  if (whole_rows_ && fates_[row].kind != RowFate::Unary) {
    drops_.record_rejection(std::move(rows_[row]), kind, name);
  } else {
    drops_.record_rejection(block_->id(row).to_id(), source_.object(row), kind, name);
  }
}

void StageOne::admit_row(size_t row, float score) {
  bool did_evict = false;
  PoolRecord& record = pool_.admit(score, input_count_ - block_->size() + row, &did_evict);
  // An eviction is recorded as the evicting row arrives.
  if (did_evict) {
    drops_.record_rejection(std::move(record.candidate.id), std::move(record.candidate.object),
                            RejectKind::OutOfPool);
  }
  fill_record(record, row);
  pool_.commit();
}

void StageOne::fill_block(std::span<PoolRecord> records) {
  const size_t axis_count = engine_.axes.size();
  // One pass, record by record: a record spans several cache lines, and a pass per axis
  // would bring each in again. Presence is random across a block, so the optionals are
  // made without a branch. The block's arrays are read through locals: the records' flag
  // bytes may alias anything.
  const float* block_values = block_->values(0);
  const uint8_t* block_present = block_->present(0);
  const uint8_t* cheap = carried_as_stored_.data();
  for (size_t row = 0; row < records.size(); ++row) {
    PoolRecord& record = records[row];
    block_->id(row).write_to(record.candidate.id);
    record.candidate.values.resize(axis_count);
    record.axis_values.resize(axis_count);
    std::optional<float>* carried = record.candidate.values.data();
    std::optional<float>* stored = record.axis_values.data();
    for (size_t axis = 0; axis < axis_count; ++axis) {
      const size_t at = axis * RowBlock::kCapacity + row;
      const float value = block_values[at];
      const bool present = block_present[at] != 0;
      set_optional(carried[axis], present, value);
      // A plain cheap axis stores the value carried at its own position, NaN as absent.
      set_optional(stored[axis], present & (cheap[axis] != 0) & (value == value), value);
    }
  }
  source_.complete_block(records);
}

void StageOne::fill_record(PoolRecord& record, size_t row) {
  const size_t axis_count = engine_.axes.size();
  if (whole_rows_) {
    record.candidate = std::move(rows_[row]);
  } else {
    block_->id(row).write_to(record.candidate.id);
    record.candidate.values.assign(axis_count, std::nullopt);
    std::optional<float>* values = record.candidate.values.data();
    for (size_t axis = 0; axis < axis_count; ++axis) {
      if (block_->present(axis)[row] != 0) values[axis] = block_->values(axis)[row];
    }
    source_.complete(row, record.candidate);
  }
  record.axis_values.assign(axis_count, std::nullopt);
  std::optional<float>* axis_values = record.axis_values.data();
  for (const CheapAxis& cheap : cheap_) axis_values[cheap.axis] = value_at(cheap.axis, row);
}

Status StageTwo::score_expensive_axes(std::vector<PoolRecord>& pool) {
  if (plan_.expensive_axes().empty()) return Status::Ok();
  std::vector<const Candidate*> batch;
  batch.reserve(pool.size());
  for (const PoolRecord& record : pool) batch.push_back(&record.candidate);

  // Every axis is called before any result is applied; the first wrong length stops the run.
  const std::span<const size_t> expensive = plan_.expensive_axes();
  std::vector<std::vector<std::optional<float>>> results;
  std::vector<uint128> elapsed;
  results.reserve(expensive.size());
  elapsed.reserve(expensive.size());
  for (size_t axis : expensive) {
    const uint64_t start = clock_.now();
    std::vector<std::optional<float>> result = scorers_[axis]->score_batch(batch);
    elapsed.push_back(IntervalClock::between(start, clock_.now()));
    if (result.size() != pool.size()) {
      return EngineError(
          errors::BatchLengthMismatch{engine_.axes[axis].name, result.size(), pool.size()});
    }
    results.push_back(std::move(result));
  }

  const IntervalClock::Rate rate = clock_.rate();
  for (size_t e = 0; e < expensive.size(); ++e) {
    const size_t axis = expensive[e];
    ScorerTrace& stats = trace_.scorers[axis];
    for (size_t r = 0; r < pool.size(); ++r) {
      pool[r].axis_values[axis] = stored_value(results[e][r]);
      if (!pool[r].axis_values[axis]) ++stats.missing;
    }
    stats.elapsed_nanos += rate.nanos(elapsed[e]);
    stats.calls += pool.size();
  }
  return Status::Ok();
}

std::vector<PoolRecord> StageTwo::apply_reject_policy(std::vector<PoolRecord> pool) {
  if (engine_.missing.policy != MissingPolicy::Reject) return pool;
  // The survivors close up in place, in pool order.
  size_t kept = 0;
  for (PoolRecord& record : pool) {
    auto absent = std::find_if(record.axis_values.begin(), record.axis_values.end(),
                               [](const std::optional<float>& v) { return !v.has_value(); });
    if (absent == record.axis_values.end()) {
      if (&pool[kept] != &record) pool[kept] = std::move(record);
      ++kept;
      continue;
    }
    const size_t axis = static_cast<size_t>(absent - record.axis_values.begin());
    drops_.record_rejection(std::move(record.candidate), RejectKind::NotScored,
                            engine_.axes[axis].name);
  }
  pool.erase(pool.begin() + static_cast<std::ptrdiff_t>(kept), pool.end());
  return pool;
}

std::vector<ScoredRecord> StageTwo::fuse_and_rank(std::vector<PoolRecord>& survivors) {
  const Fuser& fuser = plan_.fuser();
  if (fuser.method() == FusionMethod::Rrf) {
    // The reject policy closes the survivors up, and then their input positions are gone.
    ProposedOrders proposed{arrival_, proposed_orders_, trace_.input_count, proposals_checked_};
    const bool proposals =
        !proposed_orders_.empty() && engine_.missing.policy != MissingPolicy::Reject;
    ranks_ = fuser.rrf_ranks(survivors, proposals ? &proposed : nullptr);
  }
  std::vector<EntryRef> order;
  order.reserve(survivors.size());
  bool any_nan = false;
  // A rank is at most the survivor count.
  const std::span<const float> rrf_terms = fuser.method() == FusionMethod::Rrf
                                               ? fuser.rrf_terms(survivors.size())
                                               : std::span<const float>();
  for (size_t s = 0; s < survivors.size(); ++s) {
    const float fused = !rrf_terms.empty() ? Fuser::rrf_fused(s, ranks_, rrf_terms)
                                           : fuser.fused(survivors[s].axis_values, s, ranks_);
    // An ordered comparison: a NaN on either side drops nothing.
    if (engine_.threshold && *engine_.threshold > fused) {
      drops_.record_rejection(std::move(survivors[s].candidate), RejectKind::BelowThreshold, {},
                              fused);
    } else {
      any_nan |= std::isnan(fused);
      order.push_back(EntryRef{fused, &survivors[s].id(), s});
    }
  }
  // A NaN fused score puts the cut margin's rule and the ranking's apart: rank them all.
  const std::optional<size_t> head = any_nan ? std::nullopt : deciding_head();
  if (head && order.size() > *head) {
    // Only the head can be selected or decide the cut margin; the others are outranked, and
    // their order would show only in drops that are not kept. Their objects go with the
    // survivors' records at the end of the run.
    drops_.count(RejectKind::Outranked, order.size() - *head);
    keep_best_entries(order, *head);
  } else {
    sort_entries(order);
  }
  std::vector<ScoredRecord> ranked = storage_from_last_run();
  ranked.reserve(order.size());
  for (const EntryRef& entry : order) {
    ranked.push_back(ScoredRecord{&survivors[entry.position], entry.score, entry.position});
  }
  return ranked;
}

std::optional<size_t> StageTwo::deciding_head() const {
  const auto* top_k = std::get_if<Budget::TopK>(&engine_.budget.kind);
  if (top_k == nullptr || !engine_.set_constraints.empty() || !engine_.requirements.empty() ||
      engine_.objective != nullptr || drops_.keeps_next()) {
    return std::nullopt;
  }
  return static_cast<size_t>(top_k->k) + 1;
}

SelectionProblem StageTwo::selection_problem(std::span<const ScoredRecord> ranked) {
  SelectionProblem problem;
  problem.constraints = engine_.set_constraints;
  problem.requirements = engine_.requirements;
  problem.objective = engine_.objective.get();
  problem.cost = engine_.cost ? &engine_.cost : nullptr;

  if (const auto* top_k = std::get_if<Budget::TopK>(&engine_.budget.kind)) {
    problem.k = top_k->k;
  } else if (const auto* tail = std::get_if<Budget::TailMass>(&engine_.budget.kind)) {
    std::vector<double> scores;
    scores.reserve(ranked.size());
    for (const ScoredRecord& record : ranked) scores.push_back(static_cast<double>(record.fused));
    BudgetEvidence evidence =
        derive_tail_mass_k(scores, tail->epsilon, tail->fallback_k, engine_.min_fit);
    problem.k = evidence.derived_k;
    trace_.budget = evidence;
  } else {
    problem.mode = SelectionMode::Tokens;
    problem.token_limit = std::get<Budget::Tokens>(engine_.budget.kind).max;
  }
  return problem;
}

RunOutcome StageTwo::assemble(std::vector<ScoredRecord>& ranked, const SelectionProblem& problem,
                              const SelectionResult& result, size_t pool_size) {
  std::vector<char> chosen(ranked.size(), 0);
  for (size_t position : result.selected) {
    KORVANE_INVARIANT(position < ranked.size() && !chosen[position],
                      "선택된 색인은 남겨 둔 목록에 있다");
    chosen[position] = 1;
  }

  for (size_t position = 0; position < ranked.size(); ++position) {
    if (chosen[position]) continue;
    ScoredRecord& record = ranked[position];
    const std::optional<size_t> blocker =
        position < result.blocked_by.size() ? result.blocked_by[position] : std::nullopt;
    if (blocker) {
      KORVANE_INVARIANT(*blocker < engine_.set_constraints.size(), "막은 제약은 등록된 제약이다");
      drops_.record_rejection(std::move(record.record->candidate), RejectKind::SetConstraint,
                              plan_.constraint_ids()[*blocker], record.fused);
    } else {
      drops_.record_rejection(std::move(record.record->candidate), RejectKind::Outranked, {},
                              record.fused);
    }
  }

  RunOutcome outcome;
  outcome.ranked.reserve(result.selected.size());
  for (size_t i = 0; i < result.selected.size(); ++i) {
    ScoredRecord& record = ranked[result.selected[i]];
    RankedEntry& entry = outcome.ranked.emplace_back();
    entry.fusion = plan_.fuser().fuse(record.record->axis_values, record.survivor, ranks_);
    entry.scores = std::move(record.record->axis_values);
    // A ranked entry shows its id and object; its groups and cover stay with the record,
    // whose storage the next run on this thread reuses.
    Candidate& candidate = record.record->candidate;
    entry.candidate.id = std::move(candidate.id);
    entry.candidate.object = std::move(candidate.object);
    entry.candidate.values = candidate.values;
    entry.candidate.cost = candidate.cost;
    entry.rank = static_cast<uint32_t>(i + 1);
    entry.fused = record.fused;
  }
  outcome.labels = plan_.labels();

  SelectionGuarantee guarantee = selection_guarantee(problem, result);
  outcome.selection.exact = guarantee.exact;
  outcome.selection.guarantee = guarantee.guarantee;
  outcome.selection.pool_size = static_cast<uint32_t>(pool_size);
  outcome.selection.pool_exhausted = result.pool_exhausted;
  if (result.raw_cut_margin && std::isfinite(*result.raw_cut_margin)) {
    outcome.selection.cut_margin = result.raw_cut_margin;
  }

  outcome.trace = std::move(trace_);
  outcome.rejected_counts = drops_.counts();
  outcome.rejected = drops_.take_entries();
  return outcome;
}

}  // namespace

Shortlist stage_one(const Plan& plan, CandidateSource& source) {
  StageOne stage(plan, source);
  return stage.execute(false);
}

Shortlist stage_one_for_run(const Plan& plan, CandidateSource& source) {
  StageOne stage(plan, source);
  return stage.execute(true);
}

Shortlist merge(const Plan& plan, std::vector<Shortlist> parts) {
  const Engine& engine = plan.engine();
  Shortlist merged;
  merged.axes.reserve(engine.axes.size());
  for (const AxisDescriptor& axis : engine.axes) merged.axes.push_back(ScorerTrace{axis.name});
  RejectionLog drops(engine.rejections);
  for (Shortlist& part : parts) {
    merged.input_count += part.input_count;
    for (size_t axis = 0; axis < merged.axes.size() && axis < part.axes.size(); ++axis) {
      merged.axes[axis].calls += part.axes[axis].calls;
      merged.axes[axis].missing += part.axes[axis].missing;
      merged.axes[axis].elapsed_nanos += part.axes[axis].elapsed_nanos;
    }
    drops.absorb(part.counts, std::move(part.rejected));
  }

  // The pools compete as the parts' inputs would in one stream: a member arrives at its
  // position in the whole input, so ties between equal entries go as they would there.
  StagePool pool(plan.capacity());
  uint64_t offset = 0;
  for (Shortlist& part : parts) {
    for (size_t m = 0; m < part.members.size(); ++m) {
      PoolRecord& member = part.members[m];
      const CandidateId& id = member.candidate.id;
      const IdView view = id.is_integer() ? IdView::Integer(id.integer()) : IdView::Text(id.text());
      if (!pool.admits(part.admission[m], view)) {
        drops.record_rejection(std::move(member.candidate), RejectKind::OutOfPool);
        continue;
      }
      bool did_evict = false;
      PoolRecord& record = pool.admit(part.admission[m], offset + part.arrival[m], &did_evict);
      if (did_evict) {
        drops.record_rejection(std::move(record.candidate.id), std::move(record.candidate.object),
                               RejectKind::OutOfPool);
      }
      record = std::move(member);
      pool.commit();
    }
    offset += part.input_count;
  }
  merged.members = pool.drain(&merged.admission, &merged.arrival);
  merged.counts = drops.counts();
  merged.rejected = drops.take_entries();
  return merged;
}

Result<RunOutcome> run_shortlist(const Plan& plan, Shortlist shortlist,
                                 std::span<Scorer* const> scorers) {
  StageTwo stage(plan, std::move(shortlist), scorers);
  return stage.execute();
}

Result<RunOutcome> run(const Plan& plan, CandidateSource& source,
                       std::span<Scorer* const> scorers) {
  return run_shortlist(plan, stage_one_for_run(plan, source), scorers);
}

Result<RunOutcome> run(const Engine& engine, CandidateSource& source) {
  if (Status status = validate(engine); !status.ok()) return status.error();
  const Plan plan(engine);
  return run(plan, source);
}

}  // namespace korvane
