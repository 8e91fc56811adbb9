// sort_keeping_runs: sorts [first, last) by `less` (a strict order with no equal elements),
// keeping the long stretches that are in order already. Inputs often arrive that way: a
// retriever's list best first, or two lists' candidates one after the other. Each stretch
// between long runs is sorted on its own, then the pieces are merged.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <type_traits>
#include <vector>

namespace korvane {

// Sorts unsigned 64-bit keys ascending, a byte at a time from the lowest; bytes that every
// key shares are skipped. No comparison, so no branch on the data.
inline void radix_sort(uint64_t* first, uint64_t* last) {
  const size_t n = static_cast<size_t>(last - first);
  uint64_t any = 0;
  uint64_t all = ~uint64_t{0};
  for (const uint64_t* key = first; key != last; ++key) {
    any |= *key;
    all &= *key;
  }
  const uint64_t varying = any ^ all;
  std::vector<uint64_t> buffer(n);
  uint64_t* from = first;
  uint64_t* to = buffer.data();
  for (int shift = 0; shift < 64; shift += 8) {
    if (((varying >> shift) & 0xff) == 0) continue;
    size_t starts[256] = {};
    for (size_t i = 0; i < n; ++i) ++starts[(from[i] >> shift) & 0xff];
    size_t sum = 0;
    for (size_t& start : starts) {
      const size_t count = start;
      start = sum;
      sum += count;
    }
    for (size_t i = 0; i < n; ++i) to[starts[(from[i] >> shift) & 0xff]++] = from[i];
    std::swap(from, to);
  }
  if (from != first) std::copy(from, from + n, first);
}

// std::sort, or for a long stretch of plain 64-bit keys the radix sort, whose fixed cost per
// byte (256 counts) pays off from a few hundred keys.
template <class It, class Less>
void sort_stretch(It first, It last, Less less) {
  if constexpr (std::is_same_v<std::iter_value_t<It>, uint64_t> &&
                std::is_same_v<Less, std::less<uint64_t>>) {
    if (last - first >= 512) {
      radix_sort(&*first, &*first + (last - first));
      return;
    }
  }
  std::sort(first, last, less);
}

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
        sort_stretch(stretch, run, less);
        bounds.push_back(run);
      }
      bounds.push_back(end);
      stretch = end;
    }
    run = end;
  }
  if (stretch != last) {
    sort_stretch(stretch, last, less);
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
