#include "engine/shortlist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/pipeline.h"
#include "engine/scorer.h"
#include "pipeline_test_support.h"
#include "select/set_constraint.h"

namespace korvane {
namespace {

using pipeline_testing::ListSource;
using pipeline_testing::make_candidate;

struct Row {
  CandidateId id;
  AxisValues values;
};

// Two field axes, a group maximum and a unary minimum, under a policy and a small pool, so
// that every kind of stage-1 drop happens and ties on score and id are common.
Engine configured(MissingPolicy policy, uint32_t k, uint32_t multiplier) {
  Engine engine;
  engine.missing.policy = policy;
  engine.budget.kind = Budget::TopK{k};
  engine.pool_multiplier = multiplier;
  engine = std::move(engine)
               .scorer(std::make_shared<FieldScorer>("a", 0, std::nullopt, Scale::Unit,
                                                     CostClass::Cheap))
               .scorer(std::make_shared<FieldScorer>("b", 1, std::nullopt, Scale::Unit,
                                                     CostClass::Cheap))
               .unary_min(UnaryMin{"min_b", 1, 0.1f});
  return engine;
}

ListSource source_of(const std::vector<Row>& rows, size_t begin, size_t end) {
  ListSource source;
  for (size_t i = begin; i < end; ++i) source.add(make_candidate(rows[i].id, rows[i].values));
  return source;
}

// Everything an outcome says, the elapsed times aside, as comparable text.
std::string described(const RunOutcome& outcome) {
  std::ostringstream text;
  for (const RankedEntry& entry : outcome.ranked) {
    text << entry.candidate.id.display() << ':' << entry.fused << ' ';
  }
  for (uint64_t count : outcome.rejected_counts.counts) text << count << ',';
  text << " input " << outcome.trace.input_count;
  for (const ScorerTrace& axis : outcome.trace.scorers) {
    text << ' ' << axis.scorer << ' ' << axis.calls << '/' << axis.missing;
  }
  text << " pool " << outcome.selection.pool_size;
  std::vector<std::string> dropped;
  for (const RejectedEntry& entry : outcome.rejected) {
    std::ostringstream drop;
    drop << entry.candidate.id.display() << '/' << name(entry.reason.kind);
    dropped.push_back(drop.str());
  }
  std::sort(dropped.begin(), dropped.end());
  for (const std::string& drop : dropped) text << ' ' << drop;
  return text.str();
}

// Cutting the input anywhere, running stage 1 on each part and merging the parts gives the
// run of the whole input: same selection, fused bits, counts, trace figures and kept drops,
// duplicate ids and tied scores included.
TEST(Shortlist, MergedPartsRunAsTheWholeInput) {
  std::mt19937_64 random(7);
  for (int trial = 0; trial < 300; ++trial) {
    const MissingPolicy policy = static_cast<MissingPolicy>(trial % 3);
    Engine engine = configured(policy, 1 + trial % 4, 1 + trial % 3);
    ASSERT_TRUE(validate(engine).ok());
    const Plan plan(engine);

    std::vector<Row> rows;
    const size_t n = random() % 40;
    for (size_t i = 0; i < n; ++i) {
      auto value = [&]() -> std::optional<float> {
        if (random() % 6 == 0) return std::nullopt;
        return static_cast<float>(random() % 5) / 4.0f;
      };
      static const char* const kTexts[] = {"t0", "t1", "t2", "t3", "t10", "t"};
      CandidateId id = random() % 3 == 0 ? CandidateId(std::string(kTexts[random() % 6]))
                                         : CandidateId(uint64_t{random() % 12});
      rows.push_back(Row{std::move(id), AxisValues{value(), value()}});
    }

    ListSource whole = source_of(rows, 0, rows.size());
    Result<RunOutcome> expected = run(plan, whole);
    ASSERT_TRUE(expected.ok());

    std::vector<Shortlist> parts;
    size_t begin = 0;
    while (begin < rows.size() || parts.empty()) {
      size_t end = std::min(rows.size(), begin + random() % 12);
      ListSource part = source_of(rows, begin, end);
      parts.push_back(stage_one(plan, part));
      begin = end;
      if (begin == rows.size()) break;
    }
    Result<RunOutcome> merged = run_shortlist(plan, merge(plan, std::move(parts)));
    ASSERT_TRUE(merged.ok());
    EXPECT_EQ(described(merged.value()), described(expected.value())) << "trial " << trial;
  }
}

// Field axes let stage 1 screen a block straight from its arrays, dropping whole blocks
// below the pool's weakest member. Any other scorer makes it evaluate row by row. Both must
// give the same run over many blocks, with ties, NaN and signed zeros at the pool's edge,
// under every missing policy and with a unary minimum or none.
TEST(Shortlist, PlainScreeningRunsAsRowByRowScreening) {
  std::mt19937_64 random(11);
  const RejectionRetention retentions[] = {RejectionRetention::Count(), RejectionRetention::Keep(),
                                           RejectionRetention::Sample(5)};
  for (int trial = 0; trial < 120; ++trial) {
    auto engine_with = [&](bool fields) {
      Engine engine;
      engine.missing.policy = static_cast<MissingPolicy>(trial % 3);
      engine.missing.impute_value = 0.5f;
      engine.rejections = retentions[(trial / 3) % 3];
      engine.budget.kind = Budget::TopK{1 + static_cast<uint32_t>(trial % 5)};
      engine.pool_multiplier = 1 + trial % 4;
      // Without an admission axis the cheap axes' fused score admits.
      if (trial % 4 == 1) engine.fusion.kind = Fusion::WeightedSum{{{"a", 1.0f}, {"b", 0.5f}}};
      if (trial % 4 == 3) engine.fusion.kind = Fusion::Max{};
      for (size_t axis = 0; axis < 2; ++axis) {
        const std::string name = axis == 0 ? "a" : "b";
        if (fields) {
          engine = std::move(engine).scorer(std::make_shared<FieldScorer>(
              name, axis, std::nullopt, Scale::Unit, CostClass::Cheap));
        } else {
          pipeline_testing::add_axis(engine, name, CostClass::Cheap);
        }
      }
      if (trial % 5 < 2) engine = std::move(engine).unary_min(UnaryMin{"min_b", 1, 0.25f});
      return engine;
    };
    Engine plain = engine_with(true);
    Engine row_by_row = engine_with(false);
    ASSERT_TRUE(validate(plain).ok());
    ASSERT_TRUE(validate(row_by_row).ok());

    static const float kValues[] = {0.0f, -0.0f, 0.25f,
                                    0.5f, 1.0f,  std::numeric_limits<float>::quiet_NaN()};
    std::vector<Row> rows;
    const size_t n = random() % 900;
    for (size_t i = 0; i < n; ++i) {
      auto value = [&]() -> std::optional<float> {
        if (random() % 7 == 0) return std::nullopt;
        return kValues[random() % 6];
      };
      rows.push_back(Row{CandidateId(uint64_t{random() % 60}), AxisValues{value(), value()}});
    }
    ListSource for_plain = source_of(rows, 0, rows.size());
    ListSource for_rows = source_of(rows, 0, rows.size());
    Result<RunOutcome> expected = run(Plan(row_by_row), for_rows);
    Result<RunOutcome> got = run(Plan(plain), for_plain);
    ASSERT_TRUE(expected.ok() && got.ok());
    EXPECT_EQ(described(got.value()), described(expected.value())) << "trial " << trial;
  }
}

}  // namespace
}  // namespace korvane
