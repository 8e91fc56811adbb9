#include "engine/stage_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/entry_order.h"
#include "pipeline_test_support.h"

namespace korvane {
namespace {

using pipeline_testing::make_candidate;
using pipeline_testing::ReleaseTracker;

constexpr float kInf = std::numeric_limits<float>::infinity();

StagePool::Offer offer(StagePool& pool, CandidateId id, float score) {
  return pool.offer(make_candidate(std::move(id), {}), AxisValues{score}, score);
}

std::vector<CandidateId> drained_ids(StagePool& pool) {
  std::vector<CandidateId> ids;
  for (PoolRecord& record : pool.drain()) ids.push_back(record.id());
  return ids;
}

TEST(StagePool, SingleSlotEvictsWeakerAndRefusesNoBetter) {
  StagePool pool(1);
  StagePool::Offer first = offer(pool, 1, 0.3f);
  EXPECT_EQ(first.admission, StagePool::Admission::Admitted);
  EXPECT_FALSE(first.handed_back.has_value());

  StagePool::Offer second = offer(pool, 2, 0.9f);
  EXPECT_EQ(second.admission, StagePool::Admission::AdmittedEvicting);
  ASSERT_TRUE(second.handed_back.has_value());
  EXPECT_EQ(second.handed_back->id, CandidateId(1));

  StagePool::Offer third = offer(pool, 3, 0.5f);
  EXPECT_EQ(third.admission, StagePool::Admission::Refused);
  ASSERT_TRUE(third.handed_back.has_value());
  EXPECT_EQ(third.handed_back->id, CandidateId(3));

  EXPECT_EQ(pool.size(), 1u);
  std::vector<PoolRecord> members = pool.drain();
  ASSERT_EQ(members.size(), 1u);
  EXPECT_EQ(members[0].id(), CandidateId(2));
  EXPECT_EQ(members[0].axis_values, AxisValues{0.9f});
}

TEST(StagePool, EqualScoresAreSettledByIdentifier) {
  StagePool pool(3);
  for (uint64_t id : {4u, 2u, 6u}) EXPECT_FALSE(offer(pool, id, 0.5f).handed_back);

  // Not better than the weakest (id 6): equal or larger identifiers are refused.
  StagePool::Offer equal = offer(pool, 6, 0.5f);
  EXPECT_EQ(equal.admission, StagePool::Admission::Refused);
  StagePool::Offer larger = offer(pool, 9, 0.5f);
  EXPECT_EQ(larger.admission, StagePool::Admission::Refused);
  EXPECT_EQ(larger.handed_back->id, CandidateId(9));

  StagePool::Offer smaller = offer(pool, 5, 0.5f);
  EXPECT_EQ(smaller.admission, StagePool::Admission::AdmittedEvicting);
  EXPECT_EQ(smaller.handed_back->id, CandidateId(6));

  EXPECT_EQ(drained_ids(pool), (std::vector<CandidateId>{2, 4, 5}));
}

TEST(StagePool, IntegerIdentifiersComeBeforeTexts) {
  {
    StagePool pool(1);
    offer(pool, std::string("1"), 0.5f);
    StagePool::Offer integer = offer(pool, 7, 0.5f);
    EXPECT_EQ(integer.admission, StagePool::Admission::AdmittedEvicting);
    EXPECT_EQ(integer.handed_back->id, CandidateId(std::string("1")));
  }
  {
    StagePool pool(1);
    offer(pool, 7, 0.5f);
    EXPECT_EQ(offer(pool, std::string("1"), 0.5f).admission, StagePool::Admission::Refused);
  }
  {
    // A proper prefix comes first.
    StagePool pool(2);
    offer(pool, std::string("ab"), 0.5f);
    offer(pool, std::string("abc"), 0.5f);
    offer(pool, std::string("a"), 0.5f);
    EXPECT_EQ(drained_ids(pool), (std::vector<CandidateId>{std::string("a"), std::string("ab")}));
  }
}

TEST(StagePool, MinusInfinityIsAdmittedWhileRoomThenEvictedFirst) {
  StagePool pool(2);
  EXPECT_EQ(offer(pool, 1, -kInf).admission, StagePool::Admission::Admitted);
  EXPECT_EQ(offer(pool, 2, 0.2f).admission, StagePool::Admission::Admitted);
  StagePool::Offer third = offer(pool, 3, -1e30f);
  EXPECT_EQ(third.admission, StagePool::Admission::AdmittedEvicting);
  EXPECT_EQ(third.handed_back->id, CandidateId(1));
  EXPECT_EQ(drained_ids(pool), (std::vector<CandidateId>{2, 3}));
}

TEST(StagePool, ScoresFollowTheTotalOrder) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  StagePool pool(8);
  offer(pool, 1, -0.0f);
  offer(pool, 2, 0.0f);
  offer(pool, 3, kInf);
  offer(pool, 4, nan);
  offer(pool, 5, -nan);
  offer(pool, 6, -kInf);
  offer(pool, 7, 1.0f);
  EXPECT_EQ(drained_ids(pool), (std::vector<CandidateId>{4, 3, 7, 2, 1, 6, 5}));
}

TEST(StagePool, DrainOfAnEmptyPoolYieldsNothing) {
  StagePool pool(5);
  EXPECT_TRUE(pool.drain().empty());
  EXPECT_EQ(pool.size(), 0u);
}

// Many offers against a reference: the members are the best `capacity` offers in entry
// order, each offered candidate comes back exactly once (handed back or drained), and the
// axis values stay with their candidate although slots are reused.
TEST(StagePool, KeepsTheBestAndAccountsForEveryOffer) {
  std::mt19937 rng(7);
  for (uint64_t capacity : {1u, 2u, 5u, 37u, 300u, 300u, 300u, 300u}) {
    ReleaseTracker tracker;
    StagePool pool(capacity);
    std::vector<std::pair<float, uint64_t>> offered;
    std::vector<std::pair<float, uint64_t>> model;  // members under the literal rule
    std::vector<uint64_t> handed_back;
    std::vector<uint64_t> ids(400);
    for (size_t i = 0; i < ids.size(); ++i) ids[i] = i;
    std::shuffle(ids.begin(), ids.end(), rng);
    for (uint64_t id : ids) {
      // Few distinct scores, so identifier ties are frequent.
      float score = static_cast<float>(rng() % 9) / 8.0f;
      offered.emplace_back(score, id);
      StagePool::Offer result = pool.offer(make_candidate(id, {}, tracker.handle()),
                                           AxisValues{score, static_cast<float>(id)}, score);
      ASSERT_LE(pool.size(), capacity);

      // The literal rule: admit while there is room, else the newcomer replaces the
      // weakest member only when strictly better.
      std::optional<uint64_t> expected_back;
      if (model.size() < capacity) {
        model.emplace_back(score, id);
      } else {
        auto weakest = std::min_element(model.begin(), model.end(), [](auto& x, auto& y) {
          return entry_better(y.first, CandidateId(y.second), x.first, CandidateId(x.second));
        });
        if (entry_better(score, CandidateId(id), weakest->first, CandidateId(weakest->second))) {
          expected_back = weakest->second;
          *weakest = {score, id};
        } else {
          expected_back = id;
        }
      }
      ASSERT_EQ(result.handed_back.has_value(), expected_back.has_value());
      if (result.handed_back) {
        EXPECT_EQ(result.handed_back->id, CandidateId(*expected_back));
        EXPECT_EQ(result.admission, *expected_back == id ? StagePool::Admission::Refused
                                                         : StagePool::Admission::AdmittedEvicting);
        handed_back.push_back(result.handed_back->id.integer());
      } else {
        EXPECT_EQ(result.admission, StagePool::Admission::Admitted);
      }
    }
    std::stable_sort(offered.begin(), offered.end(), [](const auto& a, const auto& b) {
      return entry_better(a.first, CandidateId(a.second), b.first, CandidateId(b.second));
    });

    std::vector<PoolRecord> members = pool.drain();
    ASSERT_EQ(members.size(), capacity);
    for (size_t i = 0; i < members.size(); ++i) {
      EXPECT_EQ(members[i].id(), CandidateId(offered[i].second));
      EXPECT_EQ(members[i].axis_values,
                (AxisValues{offered[i].first, static_cast<float>(offered[i].second)}));
    }
    EXPECT_EQ(handed_back.size() + members.size(), offered.size());
    std::vector<uint64_t> all = handed_back;
    for (const PoolRecord& m : members) all.push_back(m.id().integer());
    std::sort(all.begin(), all.end());
    EXPECT_TRUE(std::adjacent_find(all.begin(), all.end()) == all.end());
    EXPECT_EQ(tracker.released(), handed_back.size());
    EXPECT_TRUE(tracker.none_released_twice());
  }
}

}  // namespace
}  // namespace korvane
