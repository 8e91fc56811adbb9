#include "engine/rejection_log.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "pipeline_test_support.h"

namespace korvane {
namespace {

using pipeline_testing::make_candidate;
using pipeline_testing::ReleaseTracker;

struct Drop {
  RejectKind kind;
  std::string name;
  std::optional<float> fused;
};

// The drops of the sampling example, in drop order.
const std::vector<Drop> kThreeDrops = {
    {RejectKind::OutOfPool, "", std::nullopt},
    {RejectKind::UnaryConstraint, "min_a", std::nullopt},
    {RejectKind::BelowThreshold, "", 0.25f},
};

void record_all(RejectionLog& log, ReleaseTracker& tracker, const std::vector<Drop>& drops) {
  uint64_t id = 0;
  for (const Drop& drop : drops) {
    log.record_rejection(make_candidate(id++, {}, tracker.handle()), drop.kind, drop.name,
                         drop.fused);
  }
}

TEST(RejectionLog, KeepRetainsEveryDropInOrder) {
  ReleaseTracker tracker;
  {
    RejectionLog log(RejectionRetention::Keep());
    record_all(log, tracker, kThreeDrops);
    ASSERT_EQ(log.entries().size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
      const RejectedEntry& entry = log.entries()[i];
      EXPECT_EQ(entry.candidate.id, CandidateId(i));
      EXPECT_EQ(entry.reason.kind, kThreeDrops[i].kind);
      EXPECT_EQ(entry.reason.name, kThreeDrops[i].name);
      EXPECT_EQ(entry.fused, kThreeDrops[i].fused);
    }
    EXPECT_EQ(log.counts()[RejectKind::OutOfPool], 1u);
    EXPECT_EQ(log.counts()[RejectKind::UnaryConstraint], 1u);
    EXPECT_EQ(log.counts()[RejectKind::BelowThreshold], 1u);
    EXPECT_EQ(log.counts().total(), 3u);
    EXPECT_EQ(tracker.released(), 0u);  // kept candidates hold their objects
  }
  EXPECT_TRUE(tracker.all_released_once());
}

TEST(RejectionLog, SampleKeepsTheFirstDropsAndCountsAll) {
  ReleaseTracker tracker;
  RejectionLog log(RejectionRetention::Sample(2));
  record_all(log, tracker, kThreeDrops);
  ASSERT_EQ(log.entries().size(), 2u);
  EXPECT_EQ(log.entries()[0].reason.kind, RejectKind::OutOfPool);
  EXPECT_EQ(log.entries()[1].reason.kind, RejectKind::UnaryConstraint);
  EXPECT_EQ(log.entries()[1].reason.name, "min_a");
  EXPECT_EQ(log.counts().total(), 3u);
  EXPECT_EQ(log.counts()[RejectKind::BelowThreshold], 1u);
  // The third was not kept and is already released.
  EXPECT_EQ(tracker.releases(0), 0);
  EXPECT_EQ(tracker.releases(1), 0);
  EXPECT_EQ(tracker.releases(2), 1);
}

TEST(RejectionLog, SampleOfZeroKeepsNothing) {
  ReleaseTracker tracker;
  RejectionLog log(RejectionRetention::Sample(0));
  record_all(log, tracker, kThreeDrops);
  EXPECT_TRUE(log.entries().empty());
  EXPECT_EQ(log.counts().total(), 3u);
  EXPECT_TRUE(tracker.all_released_once());
}

TEST(RejectionLog, CountReleasesAtOnceAndCountsExactly) {
  ReleaseTracker tracker;
  RejectionLog log(RejectionRetention::Count());
  const RejectKind kinds[] = {RejectKind::NotScored,     RejectKind::UnaryConstraint,
                              RejectKind::SetConstraint, RejectKind::BelowThreshold,
                              RejectKind::Outranked,     RejectKind::OutOfPool};
  for (uint64_t i = 0; i < 990; ++i) {
    log.record_rejection(make_candidate(i, {}, tracker.handle()), kinds[i % 6], "axis");
    ASSERT_EQ(tracker.releases(i), 1) << "drop " << i << " still holds its object";
  }
  EXPECT_TRUE(log.entries().empty());
  EXPECT_EQ(log.counts().total(), 990u);
  for (RejectKind kind : kinds) EXPECT_EQ(log.counts()[kind], 165u);
}

TEST(RejectionLog, OnlyNamedReasonsKeepTheirName) {
  ReleaseTracker tracker;
  RejectionLog log(RejectionRetention::Keep());
  log.record_rejection(make_candidate(1, {}), RejectKind::NotScored, "relevance");
  log.record_rejection(make_candidate(2, {}), RejectKind::SetConstraint, "site", 0.5f);
  log.record_rejection(make_candidate(3, {}), RejectKind::Outranked, "ignored", 0.1f);
  ASSERT_EQ(log.entries().size(), 3u);
  EXPECT_EQ(log.entries()[0].reason.name, "relevance");
  EXPECT_FALSE(log.entries()[0].fused.has_value());
  EXPECT_EQ(log.entries()[1].reason.name, "site");
  EXPECT_EQ(log.entries()[2].reason.name, "");
  RejectedEntries taken = log.take_entries();
  EXPECT_EQ(taken.size(), 3u);
}

}  // namespace
}  // namespace korvane
