#include "engine/spare_records.h"

#include <cstddef>
#include <utility>
#include <vector>

namespace korvane {

namespace {

// Enough for a pool of a few thousand members, the size where allocating them showed.
constexpr size_t kMostSpares = 4096;

thread_local std::vector<PoolRecord> spares;

}  // namespace

PoolRecord take_spare_record() {
  if (spares.empty()) return PoolRecord();
  PoolRecord record = std::move(spares.back());
  spares.pop_back();
  return record;
}

void keep_spare_record(PoolRecord&& record) {
  Candidate& candidate = record.candidate;
  candidate.object.reset();
  if (spares.size() >= kMostSpares) return;
  candidate.id = CandidateId();
  candidate.values.clear();
  candidate.groups.clear();
  candidate.cover.clear();
  candidate.cost = 0;
  record.axis_values.clear();
  spares.push_back(std::move(record));
}

}  // namespace korvane
