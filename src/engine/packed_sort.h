// sort_packed: sorts keys that pack an order into two unsigned words, (high, low) compared
// as one 128-bit number, ascending. Callers make every key distinct (an index or arrival in
// the low bits), so the result is the one order whatever the method; any other members of
// Key travel with their key. Long inputs go by least-significant-byte radix passes over the
// bytes that differ between keys, O(n) per pass; short ones by comparison.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvane {

namespace packed_sort_detail {

// Below this many keys the passes' fixed cost outweighs a comparison sort's.
constexpr size_t kRadixFrom = 256;

inline uint8_t byte_of(uint64_t high, uint64_t low, int byte) {
  return static_cast<uint8_t>(byte < 8 ? low >> (8 * byte) : high >> (8 * (byte - 8)));
}

}  // namespace packed_sort_detail

template <class Key>
void sort_packed(std::vector<Key>& keys) {
  using packed_sort_detail::byte_of;
  auto before = [](const Key& a, const Key& b) {
    return a.high != b.high ? a.high < b.high : a.low < b.low;
  };
  const size_t n = keys.size();
  if (n < packed_sort_detail::kRadixFrom) {
    std::sort(keys.begin(), keys.end(), before);
    return;
  }
  // Only the byte positions where keys differ need a pass.
  uint64_t high_or = 0, low_or = 0, high_and = ~uint64_t{0}, low_and = ~uint64_t{0};
  for (const Key& key : keys) {
    high_or |= key.high;
    high_and &= key.high;
    low_or |= key.low;
    low_and &= key.low;
  }
  int varying[16];
  int passes = 0;
  for (int byte = 0; byte < 16; ++byte) {
    if (byte_of(high_or ^ high_and, low_or ^ low_and, byte) != 0) varying[passes++] = byte;
  }
  std::vector<std::array<uint32_t, 256>> counts(static_cast<size_t>(passes));
  for (auto& count : counts) count.fill(0);
  for (const Key& key : keys) {
    for (int pass = 0; pass < passes; ++pass)
      ++counts[pass][byte_of(key.high, key.low, varying[pass])];
  }

  std::vector<Key> spare(n);
  for (int pass = 0; pass < passes; ++pass) {
    std::array<uint32_t, 256>& count = counts[static_cast<size_t>(pass)];
    uint32_t start = 0;
    for (uint32_t& c : count) {
      const uint32_t here = c;
      c = start;
      start += here;
    }
    const int byte = varying[pass];
    for (const Key& key : keys) spare[count[byte_of(key.high, key.low, byte)]++] = key;
    keys.swap(spare);
  }
}

}  // namespace korvane
