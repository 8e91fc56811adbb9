#include "engine/entry_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/entry_order.h"
#include "engine/run_sort.h"

namespace korvane {
namespace {

// Random entries full of ties (few scores and ids, both signs of zero, infinities, NaNs of
// both signs), with integer ids only or mixed with texts, already in order or not: the
// order must be the stable sort by the entry order, position for position.
TEST(EntrySort, EqualsTheStableSortByTheEntryOrder) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> scores = {0.5f, -0.0f, 0.0f, inf, -inf, nan, -nan, 0.25f, -1.0f};
  const std::vector<CandidateId> integers = {
      CandidateId(uint64_t{0}), CandidateId(uint64_t{7}), CandidateId(uint64_t{1} << 40),
      CandidateId((uint64_t{1} << 40) + 1), CandidateId(~uint64_t{0})};
  const std::vector<CandidateId> texts = {CandidateId(std::string("")), CandidateId("a"),
                                          CandidateId("ab"), CandidateId("\xff")};
  std::mt19937 random(7);
  for (int round = 0; round < 400; ++round) {
    const bool with_texts = round % 2 == 1;
    // Every eighth round (integer ids, not in order) is a long one.
    const size_t count = round % 8 == 6 ? 256 + random() % 600 : random() % 40;
    std::vector<const CandidateId*> ids;
    std::vector<float> values;
    for (size_t i = 0; i < count; ++i) {
      const bool text = with_texts && random() % 3 == 0;
      // A third of the rounds keep to small ids, which pack into one word with the index.
      const size_t choices = round % 3 == 0 ? 2 : integers.size();
      ids.push_back(text ? &texts[random() % texts.size()] : &integers[random() % choices]);
      values.push_back(scores[random() % scores.size()]);
    }
    auto stable_order = [](const std::vector<float>& by_score,
                           const std::vector<const CandidateId*>& by_id) {
      std::vector<size_t> order(by_score.size());
      for (size_t i = 0; i < order.size(); ++i) order[i] = i;
      std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return entry_better(by_score[a], *by_id[a], by_score[b], *by_id[b]);
      });
      return order;
    };
    // Half the rounds give the entries in order already.
    if (round % 4 < 2) {
      const std::vector<size_t> order = stable_order(values, ids);
      std::vector<float> sorted_values;
      std::vector<const CandidateId*> sorted_ids;
      for (size_t i : order) {
        sorted_values.push_back(values[i]);
        sorted_ids.push_back(ids[i]);
      }
      values = std::move(sorted_values);
      ids = std::move(sorted_ids);
    }
    // Positions increase along the vector, with gaps.
    std::vector<EntryRef> entries;
    for (size_t i = 0; i < count; ++i) entries.push_back(EntryRef{values[i], ids[i], 3 * i + 1});
    std::vector<size_t> want;
    for (size_t i : stable_order(values, ids)) want.push_back(3 * i + 1);

    // The best `head` alone, in the same order.
    std::vector<EntryRef> best = entries;
    // Every fifth round keeps to a short head, which is taken by another way.
    const size_t head = round % 5 == 0 ? random() % (count / 16 + 1) : random() % (count + 1);
    keep_best_entries(best, head);
    ASSERT_EQ(best.size(), head);
    for (size_t i = 0; i < head; ++i) {
      EXPECT_EQ(best[i].position, want[i]) << "round " << round << " head " << head;
    }

    sort_entries(entries);
    ASSERT_EQ(entries.size(), count);
    for (size_t i = 0; i < count; ++i) {
      EXPECT_EQ(entries[i].position, want[i]) << "round " << round << " at " << i;
    }
  }
}

}  // namespace
}  // namespace korvane

namespace korvane {
namespace {

// Inputs made of ascending runs of every length, descending stretches and random stretches,
// in any mix: the result must be the plain sort. 64-bit keys, whose long stretches are
// sorted by bytes, share some of their bytes, as the engine's keys do.
template <class Key>
void expect_plain_sort(uint64_t seed) {
  std::mt19937_64 random(seed);
  for (int round = 0; round < 600; ++round) {
    std::vector<Key> keys;
    const int pieces = static_cast<int>(random() % 7);
    const uint64_t shared = random() & 0xffff0000ffff0000ull;
    for (int piece = 0; piece < pieces; ++piece) {
      const size_t length = random() % (round % 4 == 0 ? 8 : round % 4 == 1 ? 1500 : 200);
      std::vector<Key> part(length);
      for (Key& key : part) {
        key = static_cast<Key>(round % 2 == 0 ? random() % 5000 : (random() & 0xffff) | shared);
      }
      switch (random() % 3) {
        case 0:
          std::sort(part.begin(), part.end());
          break;
        case 1:
          std::sort(part.begin(), part.end(), std::greater<Key>());
          break;
        default:
          break;
      }
      keys.insert(keys.end(), part.begin(), part.end());
    }
    std::vector<Key> expected = keys;
    std::sort(expected.begin(), expected.end());
    sort_keeping_runs(keys.begin(), keys.end(), std::less<Key>());
    ASSERT_EQ(keys, expected) << "round " << round;
  }
}

TEST(RunSort, EqualsThePlainSort) {
  expect_plain_sort<uint32_t>(11);
  expect_plain_sort<uint64_t>(12);
}

}  // namespace
}  // namespace korvane
