// SelectionIndex: what one select() call needs to know about the ranked list, worked out
// once: group values interned to small integers for every per-group maximum, cover items
// interned with their weights, each record's cost, and which requirement it matches. The
// counters built on it answer the known constraint kinds and the coverage objective
// without rescanning the members.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/inline_vector.h"
#include "engine/records.h"
#include "select/selection.h"

namespace korvane {

class SelectionIndex {
 public:
  enum class Kind : uint8_t { PerGroup, Total, Opaque };
  static constexpr uint32_t kNoGroup = UINT32_MAX;

  SelectionIndex(const SelectionProblem& problem, std::span<const ScoredRecord> ranked);

  const SelectionProblem& problem() const { return problem_; }
  std::span<const ScoredRecord> ranked() const { return ranked_; }
  size_t size() const { return ranked_.size(); }
  bool tokens() const { return problem_.mode == SelectionMode::Tokens; }

  // Costs are read only in tokens mode; 0 for every record without a cost function.
  bool has_cost() const { return has_cost_; }
  uint32_t cost(size_t pos) const { return has_cost_ ? costs_[pos] : 0; }

  size_t constraint_count() const { return constraints_.size(); }
  Kind kind(size_t c) const { return constraints_[c].kind; }
  uint64_t max(size_t c) const { return constraints_[c].max; }
  bool has_opaque() const { return has_opaque_; }
  // Per-group maxima: the interned value of `pos` at the constraint's key, or kNoGroup.
  uint32_t group(size_t c, size_t pos) const { return tables_[constraints_[c].table].values[pos]; }
  uint32_t group_count(size_t c) const { return tables_[constraints_[c].table].count; }

  // True when the objective is the coverage objective, whose gain the counters compute.
  bool fast_coverage() const { return fast_coverage_; }
  // Distinct items of `pos`, in first-occurrence order of its cover list.
  std::span<const uint32_t> items(size_t pos) const {
    return {item_ids_.data() + item_offsets_[pos], item_offsets_[pos + 1] - item_offsets_[pos]};
  }
  size_t item_count() const { return weights_.size(); }
  float weight(uint32_t item) const { return weights_[item]; }
  // Whether a record's pick value can only fall as members are added: no objective, or the
  // coverage objective with every weight >= 0 (so no NaN weight either).
  bool values_only_fall() const { return values_only_fall_; }

  bool matches(size_t requirement, size_t pos) const {
    return matches_[requirement * ranked_.size() + pos] != 0;
  }

 private:
  const SelectionProblem& problem_;
  std::span<const ScoredRecord> ranked_;

  bool has_cost_ = false;
  std::vector<uint32_t> costs_;

  struct Constraint {
    Kind kind;
    uint32_t table;  // a per-group maximum's group table
    uint64_t max;
  };
  // Per-group maxima on one key share a table: its values interned, one per position.
  struct GroupTable {
    size_t key;
    uint32_t count;  // distinct values
    std::vector<uint32_t> values;
  };
  // Inline: a run of a few candidates then builds no per-constraint list on the heap.
  InlineVector<Constraint, 4> constraints_;
  std::vector<GroupTable> tables_;
  bool has_opaque_ = false;

  bool fast_coverage_ = false;
  std::vector<uint32_t> item_ids_;
  std::vector<size_t> item_offsets_;
  std::vector<float> weights_;
  bool values_only_fall_ = false;

  std::vector<char> matches_;  // requirement-major
};

}  // namespace korvane
