#include "select/selection_index.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_map>

#include "select/group_value.h"

namespace korvane {

SelectionIndex::SelectionIndex(const SelectionProblem& problem,
                               std::span<const ScoredRecord> ranked)
    : problem_(problem), ranked_(ranked) {
  const size_t n = ranked.size();

  if (tokens() && problem.cost != nullptr && *problem.cost) {
    has_cost_ = true;
    costs_.reserve(n);
    for (const ScoredRecord& record : ranked) costs_.push_back((*problem.cost)(record.candidate()));
  }

  for (const auto& constraint : problem.constraints) {
    if (const auto* per_group = dynamic_cast<const MaxPerGroup*>(constraint.get())) {
      uint32_t table = 0;
      while (table < tables_.size() && tables_[table].key != per_group->key()) ++table;
      if (table == tables_.size()) {
        std::unordered_map<std::string_view, uint32_t> ids;
        std::vector<uint32_t> values(n, kNoGroup);
        for (size_t pos = 0; pos < n; ++pos) {
          const std::string* value = group_value(ranked[pos].candidate(), per_group->key());
          if (value == nullptr) continue;
          values[pos] = ids.try_emplace(*value, static_cast<uint32_t>(ids.size())).first->second;
        }
        tables_.push_back(
            GroupTable{per_group->key(), static_cast<uint32_t>(ids.size()), std::move(values)});
      }
      constraints_.push_back(Constraint{Kind::PerGroup, table, per_group->max()});
    } else if (const auto* total = dynamic_cast<const MaxTotal*>(constraint.get())) {
      constraints_.push_back(Constraint{Kind::Total, 0, total->max()});
    } else {
      constraints_.push_back(Constraint{Kind::Opaque, 0, 0});
      has_opaque_ = true;
    }
  }

  if (const auto* coverage = dynamic_cast<const CoverageObjective*>(problem.objective)) {
    fast_coverage_ = true;
    std::unordered_map<std::string_view, uint32_t> ids;
    std::vector<size_t> last_seen;  // position + 1 where an item was last listed
    item_offsets_.reserve(n + 1);
    item_offsets_.push_back(0);
    for (size_t pos = 0; pos < n; ++pos) {
      for (const std::string& item : ranked[pos].candidate().cover) {
        auto [it, fresh] = ids.try_emplace(item, static_cast<uint32_t>(ids.size()));
        if (fresh) {
          weights_.push_back(coverage->weight() ? coverage->weight()(item) : 1.0f);
          last_seen.push_back(0);
        }
        if (last_seen[it->second] == pos + 1) continue;  // repeated within this list
        last_seen[it->second] = pos + 1;
        item_ids_.push_back(it->second);
      }
      item_offsets_.push_back(item_ids_.size());
    }
  }

  values_only_fall_ = problem.objective == nullptr ||
                      (fast_coverage_ && std::all_of(weights_.begin(), weights_.end(),
                                                     [](float w) { return w >= 0.0f; }));

  const auto requirements = problem.requirements;
  matches_.assign(requirements.size() * n, 0);
  for (size_t r = 0; r < requirements.size(); ++r) {
    for (size_t pos = 0; pos < n; ++pos) {
      matches_[r * n + pos] = requirements[r].matches(ranked[pos].candidate()) ? 1 : 0;
    }
  }
}

}  // namespace korvane
