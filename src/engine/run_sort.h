// sort_from_sorted_prefix: sorts [first, last) by `less`, using the part at the front that
// is in order already: inputs often arrive best first (a retriever's list) with the rest
// after them, and then only the rest is sorted before the two are merged.
#pragma once

#include <algorithm>

namespace korvane {

template <class It, class Less>
void sort_from_sorted_prefix(It first, It last, Less less) {
  const It split = std::is_sorted_until(first, last, less);
  if (split == last) return;
  std::sort(split, last, less);
  std::inplace_merge(first, split, last, less);
}

}  // namespace korvane
