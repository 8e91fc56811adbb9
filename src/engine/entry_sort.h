// sort_entries: puts (score, identifier, position) triples into the entry order, equal
// entries by position, which is what a stable sort by the entry order gives. The keys are
// laid out flat so that sorting reads no record; with integer identifiers alone each key is
// two words compared as unsigned integers. Entries already in order are left as they are
// after one linear check. O(n log n).
#pragma once

#include <cstddef>
#include <vector>

#include "engine/candidate_id.h"

namespace korvane {

struct EntryRef {
  float score;
  const CandidateId* id;  // outlives the sort
  size_t position;
};

// Precondition: the entries come in increasing position.
void sort_entries(std::vector<EntryRef>& entries);

// Writes each entry's 1-based place in the order of sort_entries to ranks[entry.position].
// Precondition as for sort_entries; ranks has room for every position.
void rank_entries(const std::vector<EntryRef>& entries, std::vector<uint32_t>& ranks);

// Keeps only the `count` entries that sort_entries would put first, in that order.
// O(n + count log count).
void keep_best_entries(std::vector<EntryRef>& entries, size_t count);

}  // namespace korvane
