// The literal interface operations: MaxPerGroup/MaxTotal accepts, CoverageObjective gain,
// is_feasible, and the properties table of selection_guarantee.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "select/objective.h"
#include "select/selection.h"
#include "select/set_constraint.h"
#include "select_fixtures.h"

namespace korvane {
namespace {

using testing::make_record;
using testing::OwnedProblem;
using testing::RecordSpec;

std::vector<const ScoredRecord*> pointers(const std::vector<ScoredRecord>& records) {
  std::vector<const ScoredRecord*> out;
  for (const ScoredRecord& record : records) out.push_back(&record);
  return out;
}

ScoredRecord in_site(std::string site) {
  return make_record({uint64_t{0}, 0.0f, {std::move(site)}});
}

TEST(MaxPerGroupAccepts, CountsByteEqualValuesAndIgnoresMembersWithout) {
  MaxPerGroup per_site("site", 0, 2);
  std::vector<ScoredRecord> members;
  members.push_back(in_site("x"));
  members.push_back(make_record({uint64_t{1}, 0.0f, {std::nullopt}}));
  members.push_back(make_record({uint64_t{2}, 0.0f, {}}));  // shorter group list
  members.push_back(in_site("X"));
  members.push_back(in_site(std::string("x\0", 2)));
  auto selected = pointers(members);
  EXPECT_TRUE(per_site.accepts(selected, in_site("x")));  // one "x" so far

  members.push_back(in_site("x"));
  selected = pointers(members);
  EXPECT_FALSE(per_site.accepts(selected, in_site("x")));
  EXPECT_TRUE(per_site.accepts(selected, in_site("y")));
  EXPECT_TRUE(per_site.accepts(selected, make_record({uint64_t{9}, 0.0f, {}})));
}

TEST(MaxPerGroupAccepts, MaxZeroRefusesEveryCandidateEvenWithoutAValue) {
  MaxPerGroup none("site", 1, 0);
  EXPECT_FALSE(none.accepts({}, in_site("x")));
  EXPECT_FALSE(none.accepts({}, make_record({uint64_t{1}, 0.0f, {}})));
  EXPECT_EQ(none.id(), "site");
  EXPECT_TRUE(none.is_matroid());
}

TEST(MaxTotalAccepts, RefusesOnceTheSetHoldsMax) {
  MaxTotal total("max_total", 2);
  std::vector<ScoredRecord> members;
  members.push_back(in_site("a"));
  EXPECT_TRUE(total.accepts(pointers(members), in_site("b")));
  members.push_back(in_site("b"));
  EXPECT_FALSE(total.accepts(pointers(members), in_site("c")));
  EXPECT_FALSE(MaxTotal("cap", 0).accepts({}, in_site("c")));
  EXPECT_EQ(total.id(), "max_total");
  EXPECT_TRUE(total.is_matroid());
}

ScoredRecord covering(std::vector<std::string> items) {
  return make_record({uint64_t{0}, 0.0f, {}, std::move(items)});
}

TEST(CoverageGain, CountsDistinctUncoveredItems) {
  CoverageObjective coverage;
  EXPECT_EQ(coverage.gain({}, covering({"a", "a", "b"})), 2.0f);
  EXPECT_EQ(coverage.gain({}, covering({})), 0.0f);
  EXPECT_FALSE(std::signbit(coverage.gain({}, covering({}))));

  std::vector<ScoredRecord> members;
  members.push_back(covering({"a", "b"}));
  EXPECT_EQ(coverage.gain(pointers(members), covering({"b", "c"})), 1.0f);
  EXPECT_EQ(coverage.gain(pointers(members), covering({"b", "a"})), 0.0f);
  EXPECT_TRUE(coverage.is_submodular());
}

TEST(CoverageGain, WeightsAddInListOrderOncePerItem) {
  std::vector<std::string> asked;
  CoverageObjective weighted([&](std::string_view item) {
    asked.emplace_back(item);
    return item == "big" ? 1e8f : 1.0f;
  });
  // 1 + 1e8 rounds to 1e8 in 32-bit float, then + 1 rounds again: order matters.
  EXPECT_EQ(weighted.gain({}, covering({"x", "big", "x", "y"})), (1.0f + 1e8f) + 1.0f);
  EXPECT_EQ(asked, (std::vector<std::string>{"x", "big", "y"}));
}

TEST(IsFeasible, ChecksCountBoundTokenLimitAndEveryMemberAgainstTheOthers) {
  auto ranked = testing::make_ranked({
      {uint64_t{1}, 0.9f, {"x"}, {}, 4},
      {uint64_t{2}, 0.8f, {"x"}, {}, 4},
      {uint64_t{3}, 0.7f, {"y"}, {}, 3},
  });
  OwnedProblem problem = OwnedProblem::top_k(2);
  problem.per_group("site", 0, 1);
  std::vector<size_t> both_x{0, 1}, mixed{0, 2}, three{0, 1, 2};
  EXPECT_FALSE(is_feasible(problem.view(), ranked, both_x));
  EXPECT_TRUE(is_feasible(problem.view(), ranked, mixed));
  EXPECT_FALSE(is_feasible(problem.view(), ranked, three));  // over k
  EXPECT_TRUE(is_feasible(problem.view(), ranked, {}));

  OwnedProblem tokens = OwnedProblem::tokens(7);
  std::vector<size_t> seven{0, 2}, eight{0, 1};
  EXPECT_TRUE(is_feasible(tokens.view(), ranked, seven));
  EXPECT_FALSE(is_feasible(tokens.view(), ranked, eight));
  tokens.cost = nullptr;  // without a cost function nothing is counted
  EXPECT_TRUE(is_feasible(tokens.view(), ranked, eight));

  OwnedProblem refuse_all = OwnedProblem::top_k(5);
  refuse_all.per_group("site", 0, 0);
  EXPECT_TRUE(is_feasible(refuse_all.view(), ranked, {}));
  std::vector<size_t> one{2};
  EXPECT_FALSE(is_feasible(refuse_all.view(), ranked, one));
  std::vector<size_t> out_of_range{7};
  EXPECT_FALSE(is_feasible(problem.view(), ranked, out_of_range));
}

// Not a matroid and not submodular: only the properties table reads these answers.
class PlainConstraint final : public SetConstraint {
 public:
  std::string id() const override { return "plain"; }
  bool accepts(std::span<const ScoredRecord* const>, const ScoredRecord&) const override {
    return true;
  }
  bool is_matroid() const override { return false; }
};
class PlainObjective final : public Objective {
 public:
  float gain(std::span<const ScoredRecord* const>, const ScoredRecord&) const override {
    return 0.0f;
  }
  bool is_submodular() const override { return false; }
};

struct GuaranteeRow {
  const char* name;
  SelectionMode mode;
  int matroids;
  bool plain_constraint;
  int objective;  // 0 none, 1 coverage, 2 not submodular
  bool exchanged;
  bool exact;
  std::optional<float> guarantee;
};

TEST(SelectionGuarantee, FollowsThePropertiesTable) {
  const SelectionMode count = SelectionMode::Count, tokens = SelectionMode::Tokens;
  const GuaranteeRow rows[] = {
      {"exchanged", count, 0, false, 0, true, false, std::nullopt},
      {"not submodular", count, 0, false, 2, false, false, std::nullopt},
      {"non-matroid constraint", count, 1, true, 0, false, false, std::nullopt},
      {"count, no constraint", count, 0, false, 0, false, true, std::nullopt},
      {"count, one constraint", count, 1, false, 0, false, true, std::nullopt},
      {"count, two constraints", count, 2, false, 0, false, false, 0.5f},
      {"count, three constraints", count, 3, false, 0, false, false, 1.0f / 3.0f},
      {"tokens, no constraint", tokens, 0, false, 0, false, false, 0.5f},
      {"tokens, one constraint", tokens, 1, false, 0, false, false, std::nullopt},
      {"coverage, count, none", count, 0, false, 1, false, false, 0.63212055f},
      {"coverage, count, one", count, 1, false, 1, false, false, 0.5f},
      {"coverage, count, two", count, 2, false, 1, false, false, 1.0f / 3.0f},
      {"coverage, count, three", count, 3, false, 1, false, false, 0.25f},
      {"coverage, tokens, none", tokens, 0, false, 1, false, false, 0.31606027f},
      {"coverage, tokens, one", tokens, 1, false, 1, false, false, std::nullopt},
      {"exchanged with coverage", tokens, 0, false, 1, true, false, std::nullopt},
  };
  for (const GuaranteeRow& row : rows) {
    OwnedProblem problem;
    problem.mode = row.mode;
    for (int i = 0; i < row.matroids; ++i) problem.total(5, std::to_string(i));
    if (row.plain_constraint) problem.constraints.push_back(std::make_unique<PlainConstraint>());
    if (row.objective == 1) problem.coverage();
    if (row.objective == 2) problem.objective = std::make_unique<PlainObjective>();
    SelectionResult result;
    result.exchanged = row.exchanged;
    SelectionGuarantee got = selection_guarantee(problem.view(), result);
    EXPECT_EQ(got.exact, row.exact) << row.name;
    EXPECT_EQ(got.guarantee, row.guarantee) << row.name;
  }
}

TEST(SelectionGuarantee, ConstantsAreTheNearest32BitFloats) {
  const double e = std::exp(1.0);
  EXPECT_EQ(0.63212055f, static_cast<float>(1.0 - 1.0 / e));
  EXPECT_EQ(0.31606027f, static_cast<float>((1.0 - 1.0 / e) / 2.0));
}

}  // namespace
}  // namespace korvane
