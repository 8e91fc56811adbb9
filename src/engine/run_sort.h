// sort_keeping_runs: sorts [first, last) by `less` (a strict order with no equal elements),
// keeping the long stretches that are in order already. Inputs often arrive that way: a
// retriever's list best first, or two lists' candidates one after the other. Each stretch
// between long runs is sorted on its own, then the pieces are merged.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace korvane {

template <class It, class Less>
void sort_keeping_runs(It first, It last, Less less) {
  // Shorter runs are sorted with their neighbours: merging many small pieces costs more.
  constexpr std::ptrdiff_t kLongRun = 32;
  const It sorted_end = std::is_sorted_until(first, last, less);
  if (sorted_end == last) return;

  // The pieces' bounds: each piece is a long run or the stretch of short runs before one.
  std::vector<It> bounds{first};
  It stretch = first;
  for (It run = first; run != last;) {
    const It end = run == first ? sorted_end : std::is_sorted_until(run, last, less);
    if (end - run >= kLongRun) {
      if (stretch != run) {
        std::sort(stretch, run, less);
        bounds.push_back(run);
      }
      bounds.push_back(end);
      stretch = end;
    }
    run = end;
  }
  if (stretch != last) {
    std::sort(stretch, last, less);
    bounds.push_back(last);
  }
  // Neighbouring pieces merge pairwise until one is left.
  while (bounds.size() > 2) {
    std::vector<It> merged{bounds.front()};
    size_t i = 0;
    for (; i + 2 < bounds.size(); i += 2) {
      std::inplace_merge(bounds[i], bounds[i + 1], bounds[i + 2], less);
      merged.push_back(bounds[i + 2]);
    }
    if (i + 1 < bounds.size()) merged.push_back(bounds.back());
    bounds = std::move(merged);
  }
}

}  // namespace korvane
