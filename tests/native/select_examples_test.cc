// The documented selection examples, run against the optimised select() and against the
// literal oracle, so both are held to the same expected results.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "select/selection.h"
#include "select_fixtures.h"
#include "select_oracle.h"

namespace korvane {
namespace {

using testing::make_ranked;
using testing::OwnedProblem;
using testing::selected_ids;
using Ids = std::vector<std::string>;

using SelectFn = Result<SelectionResult> (*)(const SelectionProblem&,
                                             std::span<const ScoredRecord>);

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kPosNaN = std::bit_cast<float>(0x7fc00000u);
const float kNegNaN = std::bit_cast<float>(0xffc00000u);

class SelectExamples : public ::testing::TestWithParam<SelectFn> {
 protected:
  SelectionResult run(const OwnedProblem& problem, const std::vector<ScoredRecord>& ranked) {
    Result<SelectionResult> result = GetParam()(problem.view(), ranked);
    EXPECT_TRUE(result.ok());
    if (!result.ok()) return {};
    EXPECT_EQ(result.value().blocked_by.size(), ranked.size());
    return std::move(result).value();
  }
  const errors::RequirementExchangeFailed fail(const OwnedProblem& problem,
                                               const std::vector<ScoredRecord>& ranked) {
    Result<SelectionResult> result = GetParam()(problem.view(), ranked);
    EXPECT_FALSE(result.ok());
    if (result.ok()) return {"", 0, 0};
    const auto* error = result.error().get_if<errors::RequirementExchangeFailed>();
    EXPECT_NE(error, nullptr);
    return error != nullptr ? *error : errors::RequirementExchangeFailed{"", 0, 0};
  }
};

std::vector<ScoredRecord> scores(std::vector<float> fused) {
  std::vector<testing::RecordSpec> specs;
  for (size_t i = 0; i < fused.size(); ++i) specs.push_back({uint64_t{i + 1}, fused[i]});
  return make_ranked(std::move(specs));
}

// --- count-mode greedy ---

TEST_P(SelectExamples, EmptyListSelectsNothingAndReportsExhaustion) {
  std::vector<ScoredRecord> empty;
  SelectionResult result = run(OwnedProblem::top_k(3), empty);
  EXPECT_TRUE(result.selected.empty());
  EXPECT_TRUE(result.pool_exhausted);
  EXPECT_FALSE(result.raw_cut_margin.has_value());

  SelectionResult tokens = run(OwnedProblem::tokens(5), empty);
  EXPECT_TRUE(tokens.selected.empty());
  EXPECT_TRUE(tokens.pool_exhausted);
  EXPECT_FALSE(tokens.raw_cut_margin.has_value());
}

TEST_P(SelectExamples, EqualValuesKeepTheEarlierPosition) {
  // Equal fused scores rank by id; +0 and -0 compare equal for the pick.
  auto ranked = make_ranked({{"b", 0.5f}, {"a", 0.5f}, {uint64_t{7}, 0.5f}});
  SelectionResult result = run(OwnedProblem::top_k(3), ranked);
  EXPECT_EQ(selected_ids(ranked, result), (Ids{"7", "a", "b"}));

  auto zeros = make_ranked({{"z", -0.0f}, {"y", 0.0f}});
  EXPECT_EQ(selected_ids(zeros, run(OwnedProblem::top_k(1), zeros)), (Ids{"y"}));
}

TEST_P(SelectExamples, ANaNOnEitherSideReplacesTheBest) {
  // +NaN ranks first and is displaced by the next record; -NaN ranks last and displaces.
  auto ranked = scores({kPosNaN, 0.5f, 0.3f, kNegNaN});
  SelectionResult result = run(OwnedProblem::top_k(4), ranked);
  // Pick 1: -NaN; pick 2: 0.5; pick 3: 0.3; pick 4: +NaN, the only one left.
  EXPECT_EQ(result.selected, (std::vector<size_t>{3, 1, 2, 0}));
}

TEST_P(SelectExamples, MaxZeroRefusesRecordsWithoutAValue) {
  auto ranked = make_ranked({{"a", 0.9f, {"x"}}, {"b", 0.8f, {std::nullopt}}, {"c", 0.7f}});
  OwnedProblem problem = OwnedProblem::top_k(3);
  problem.per_group("site", 0, 0);
  SelectionResult result = run(problem, ranked);
  EXPECT_TRUE(result.selected.empty());
  EXPECT_TRUE(result.pool_exhausted);
  for (const auto& blocked : result.blocked_by) EXPECT_EQ(blocked, 0u);
  EXPECT_FALSE(result.raw_cut_margin.has_value());
}

TEST_P(SelectExamples, PerGroupMaximumNeverRefusesRecordsWithoutAValue) {
  auto ranked = make_ranked(
      {{"a", 0.9f, {"x"}}, {"b", 0.8f, {"x"}}, {"c", 0.7f, {std::nullopt}}, {"d", 0.6f}});
  OwnedProblem problem = OwnedProblem::top_k(4);
  problem.per_group("site", 0, 1);
  SelectionResult result = run(problem, ranked);
  EXPECT_EQ(selected_ids(ranked, result), (Ids{"a", "c", "d"}));
  EXPECT_EQ(result.blocked_by[1], 0u);
  EXPECT_TRUE(result.pool_exhausted);
}

TEST_P(SelectExamples, MaxTotalTwoWithKFive) {
  auto ranked = scores({0.9f, 0.8f, 0.7f, 0.6f, 0.5f, 0.4f});
  OwnedProblem problem = OwnedProblem::top_k(5);
  problem.total(2);
  SelectionResult result = run(problem, ranked);
  EXPECT_EQ(result.selected, (std::vector<size_t>{0, 1}));
  EXPECT_TRUE(result.pool_exhausted);
  EXPECT_EQ(problem.constraints[0]->id(), "max_total");
  for (size_t pos = 2; pos < ranked.size(); ++pos) EXPECT_EQ(result.blocked_by[pos], 0u);
  EXPECT_FALSE(result.blocked_by[0].has_value());
  // 0.8 against the best record accepted next to 0.9 alone.
  EXPECT_EQ(result.raw_cut_margin, 0.8f - 0.7f);
}

TEST_P(SelectExamples, RefusalIsAttributedToTheFirstRegisteredConstraint) {
  auto ranked = make_ranked({{"a", 0.9f, {"x"}}, {"b", 0.8f, {"x"}}, {"c", 0.7f, {"y"}}});
  OwnedProblem site_first = OwnedProblem::top_k(3);
  site_first.per_group("site", 0, 1).total(1);
  SelectionResult result = run(site_first, ranked);
  EXPECT_EQ(result.selected, (std::vector<size_t>{0}));
  EXPECT_EQ(result.blocked_by[1], 0u);  // both refuse b
  EXPECT_EQ(result.blocked_by[2], 1u);  // only the total refuses c

  OwnedProblem total_first = OwnedProblem::top_k(3);
  total_first.total(1).per_group("site", 0, 1);
  result = run(total_first, ranked);
  EXPECT_EQ(result.blocked_by[1], 0u);
  EXPECT_EQ(result.blocked_by[2], 0u);
}

TEST_P(SelectExamples, RecordsLeftOutByCountAloneAreNotBlocked) {
  auto ranked = scores({0.9f, 0.5f, 0.25f});
  SelectionResult result = run(OwnedProblem::top_k(1), ranked);
  EXPECT_EQ(result.selected, (std::vector<size_t>{0}));
  EXPECT_FALSE(result.pool_exhausted);
  EXPECT_FALSE(result.blocked_by[1].has_value());
  EXPECT_EQ(result.raw_cut_margin, 0.9f - 0.5f);
}

TEST_P(SelectExamples, CutMarginAbsentWithoutAChallenger) {
  auto one = scores({0.9f});
  SelectionResult result = run(OwnedProblem::top_k(1), one);
  EXPECT_EQ(result.selected.size(), 1u);
  EXPECT_FALSE(result.raw_cut_margin.has_value());

  // Every record left out is refused given the members before the last.
  auto ranked = make_ranked({{"a", 0.9f, {"x"}}, {"b", 0.8f, {"x"}}, {"c", 0.7f, {"y"}}});
  OwnedProblem problem = OwnedProblem::top_k(2);
  problem.per_group("site", 0, 1);
  SelectionResult two = run(problem, ranked);
  EXPECT_EQ(two.selected, (std::vector<size_t>{0, 2}));
  EXPECT_FALSE(two.raw_cut_margin.has_value());
}

TEST_P(SelectExamples, CutMarginIsRawAndMayBeInfinite) {
  auto ranked = scores({kInf, 0.5f});
  SelectionResult result = run(OwnedProblem::top_k(1), ranked);
  EXPECT_EQ(result.raw_cut_margin, kInf);
}

TEST_P(SelectExamples, KLargerThanTheListSelectsEverything) {
  auto ranked = scores({0.3f, 0.2f, 0.1f});
  SelectionResult result = run(OwnedProblem::top_k(10), ranked);
  EXPECT_EQ(result.selected, (std::vector<size_t>{0, 1, 2}));
  EXPECT_TRUE(result.pool_exhausted);
  EXPECT_FALSE(result.raw_cut_margin.has_value());
}

// --- requirement repair ---

std::vector<ScoredRecord> languages(std::vector<const char*> langs) {
  std::vector<testing::RecordSpec> specs;
  for (size_t i = 0; i < langs.size(); ++i) {
    specs.push_back({uint64_t{i + 1}, 1.0f - 0.1f * static_cast<float>(i), {langs[i]}});
  }
  return make_ranked(std::move(specs));
}

TEST_P(SelectExamples, RequirementAlreadyMetChangesNothing) {
  auto ranked = languages({"en", "ko", "en"});
  OwnedProblem problem = OwnedProblem::top_k(2);
  problem.require("lang", 0, "ko", 1);
  SelectionResult result = run(problem, ranked);
  EXPECT_EQ(result.selected, (std::vector<size_t>{0, 1}));
  EXPECT_FALSE(result.exchanged);
  EXPECT_TRUE(selection_guarantee(problem.view(), result).exact);
}

TEST_P(SelectExamples, SwapBringsTheFifthRecordInAsRankThree) {
  auto ranked = languages({"en", "en", "en", "en", "ko"});
  OwnedProblem problem = OwnedProblem::top_k(3);
  problem.require("lang", 0, "ko", 1);
  SelectionResult result = run(problem, ranked);
  EXPECT_EQ(result.selected, (std::vector<size_t>{0, 1, 4}));
  EXPECT_TRUE(result.exchanged);
  EXPECT_FALSE(result.pool_exhausted);
  SelectionGuarantee guarantee = selection_guarantee(problem.view(), result);
  EXPECT_FALSE(guarantee.exact);
  EXPECT_FALSE(guarantee.guarantee.has_value());
}

TEST_P(SelectExamples, AddWhenShortOfK) {
  auto ranked =
      make_ranked({{"a", 0.9f, {"en", "x"}}, {"b", 0.8f, {"en", "x"}}, {"c", 0.7f, {"ko", "x"}}});
  OwnedProblem problem = OwnedProblem::top_k(3);
  problem.per_group("site", 1, 1).require("lang", 0, "ko", 1);
  // The site maximum leaves room; the add is refused by it too, so a swap follows.
  SelectionResult result = run(problem, ranked);
  EXPECT_EQ(result.selected, (std::vector<size_t>{2}));

  auto open =
      make_ranked({{"a", 0.9f, {"en", "x"}}, {"b", 0.8f, {"en", "x"}}, {"c", 0.7f, {"ko", "y"}}});
  result = run(problem, open);
  EXPECT_EQ(result.selected, (std::vector<size_t>{0, 2}));  // greedy took a and c already
  EXPECT_FALSE(result.exchanged);

  auto add = make_ranked({{"a", 0.9f, {"en", "x"}},
                          {"b", 0.8f, {"en", "x"}},
                          {"c", 0.7f, {"ko", "x"}},
                          {"d", 0.6f, {"ko", std::nullopt}}});
  OwnedProblem two = OwnedProblem::top_k(3);
  two.per_group("site", 1, 1).require("lang", 0, "ko", 2);
  // Greedy: a, d. Then c is added (short of k) only if the site allows: it does not, so c
  // swaps out a; the requirement is met with d and c.
  result = run(two, add);
  EXPECT_EQ(result.selected, (std::vector<size_t>{3, 2}));
  EXPECT_TRUE(result.exchanged);
}

TEST_P(SelectExamples, MaxTotalForcesASwapInsteadOfAnAdd) {
  auto ranked = languages({"en", "en", "en", "ko"});
  OwnedProblem problem = OwnedProblem::top_k(3);
  problem.total(2).require("lang", 0, "ko", 1);
  SelectionResult result = run(problem, ranked);
  EXPECT_EQ(result.selected, (std::vector<size_t>{0, 3}));
  EXPECT_TRUE(result.exchanged);
  EXPECT_TRUE(result.pool_exhausted);  // fixed by the greedy, before repair
  EXPECT_EQ(result.blocked_by[1], 0u);
  EXPECT_EQ(result.blocked_by[2], 0u);
}

TEST_P(SelectExamples, RequirementBeyondThePoolFailsWithThePoolCount) {
  auto ranked = languages({"ko", "en", "ko", "en"});
  OwnedProblem problem = OwnedProblem::top_k(4);
  problem.require("korean", 0, "ko", 3);
  const errors::RequirementExchangeFailed error = fail(problem, ranked);
  EXPECT_EQ(error.id, "korean");
  EXPECT_EQ(error.n, 3u);
  EXPECT_EQ(error.available, 2u);
}

TEST_P(SelectExamples, LaterRequirementNeverBreaksAnEarlierOne) {
  // a and b share site x; c carries the earlier requirement's tag; d the later one's.
  auto ranked = make_ranked({{"a", 0.9f, {"x", "en", "-"}},
                             {"b", 0.8f, {"x", "en", "-"}},
                             {"c", 0.7f, {"y", "en", "keep"}},
                             {"d", 0.6f, {"z", "ko", "-"}}});
  OwnedProblem problem = OwnedProblem::top_k(2);
  problem.per_group("site", 0, 1).require("tag", 2, "keep", 1).require("lang", 1, "ko", 1);
  SelectionResult result = run(problem, ranked);
  // Greedy a, c. Swapping c out would break the tag requirement, so a goes.
  EXPECT_EQ(selected_ids(ranked, result), (Ids{"c", "d"}));
  // Attribution looks at the final members: with a gone, b is no longer blocked.
  EXPECT_FALSE(result.blocked_by[1].has_value());

  OwnedProblem stuck = OwnedProblem::top_k(1);
  stuck.require("tag", 2, "keep", 1).require("lang", 1, "ko", 1);
  const errors::RequirementExchangeFailed error = fail(stuck, ranked);
  EXPECT_EQ(error.id, "lang");
  EXPECT_EQ(error.n, 1u);
  EXPECT_EQ(error.available, 1u);
}

TEST_P(SelectExamples, RecordsWithoutTheKeyNeverSatisfyARequirement) {
  auto ranked = make_ranked({{"a", 0.9f}, {"b", 0.8f, {std::nullopt}}});
  OwnedProblem problem = OwnedProblem::top_k(2);
  problem.require("lang", 0, "", 1);
  EXPECT_EQ(fail(problem, ranked).available, 0u);
}

TEST_P(SelectExamples, TokenRepairSwapsOnlyAndKeepsTheLimit) {
  // Ranked a (cost 5), b (cost 4), c (cost 6, ko); limit 10. Both passes take b and a;
  // swapping b for c costs 11, so a goes instead.
  auto ranked = make_ranked(
      {{"a", 0.9f, {"en"}, {}, 5}, {"b", 0.8f, {"en"}, {}, 4}, {"c", 0.1f, {"ko"}, {}, 6}});
  OwnedProblem problem = OwnedProblem::tokens(10);
  problem.require("lang", 0, "ko", 1);
  SelectionResult result = run(problem, ranked);
  EXPECT_EQ(selected_ids(ranked, result), (Ids{"b", "c"}));
  EXPECT_TRUE(result.exchanged);
}

TEST_P(SelectExamples, TokenRepairNeverAddsEvenWithRoomLeft) {
  // The single item 0.5 beats both passes (0.5 - 0.4); the requirement then swaps it out
  // although adding b would fit.
  auto ranked = make_ranked({{"a", 0.5f, {"en"}, {}, 1}, {"b", -0.4f, {"ko"}, {}, 1}});
  OwnedProblem problem = OwnedProblem::tokens(2);
  problem.require("lang", 0, "ko", 1);
  SelectionResult result = run(problem, ranked);
  EXPECT_EQ(selected_ids(ranked, result), (Ids{"b"}));
  EXPECT_TRUE(result.single_item);
  ASSERT_TRUE(result.raw_cut_margin.has_value());
  EXPECT_TRUE(std::isnan(*result.raw_cut_margin));
}

// --- coverage objective ---

TEST_P(SelectExamples, CoveragePrefersNewItemsThenFallsBackToFusedScore) {
  auto ranked = make_ranked({{"a", 0.5f, {}, {"p", "q"}},
                             {"b", 0.5f, {}, {"p", "q"}},
                             {"c", 0.5f, {}, {"r", "s", "t"}},
                             {"d", 0.1f, {}, {}}});
  OwnedProblem problem = OwnedProblem::top_k(4);
  problem.coverage();
  SelectionResult result = run(problem, ranked);
  // c brings three items; then a and b tie at 2.5 (a earlier); then b has nothing new
  // (0.5) and d is 0.1.
  EXPECT_EQ(selected_ids(ranked, result), (Ids{"c", "a", "b", "d"}));
  EXPECT_EQ(result.raw_cut_margin, std::nullopt);
  SelectionGuarantee guarantee = selection_guarantee(problem.view(), result);
  EXPECT_FALSE(guarantee.exact);
  EXPECT_EQ(guarantee.guarantee, 0.63212055f);

  OwnedProblem three = OwnedProblem::top_k(3);
  three.coverage();
  result = run(three, ranked);
  // last b has gain 0 on top of c and a: 0.5 + 0; challenger d: 0.1 + 0.
  EXPECT_EQ(result.raw_cut_margin, (0.5f + 0.0f) - (0.1f + 0.0f));
}

// --- token budget ---

TEST_P(SelectExamples, LimitZeroTakesCostZeroRecordsInRankingOrder) {
  auto ranked = make_ranked({{"a", 0.9f, {}, {}, 1},
                             {"b", 0.5f, {}, {}, 0},
                             {"c", 0.7f, {}, {}, 0},
                             {"d", 0.1f, {}, {}, 0}});
  SelectionResult result = run(OwnedProblem::tokens(0), ranked);
  EXPECT_EQ(selected_ids(ranked, result), (Ids{"c", "b", "d"}));
  EXPECT_FALSE(result.pool_exhausted);
  EXPECT_FALSE(result.single_item);
  EXPECT_FALSE(result.blocked_by[0].has_value());
  // Last d at +inf per token against no challenger that fits (a costs 1).
  EXPECT_FALSE(result.raw_cut_margin.has_value());
}

TEST_P(SelectExamples, EverythingFitsExhaustsThePool) {
  auto ranked = make_ranked({{"a", 0.9f, {}, {}, 3}, {"b", 0.5f, {}, {}, 2}});
  SelectionResult result = run(OwnedProblem::tokens(5), ranked);
  EXPECT_EQ(selected_ids(ranked, result), (Ids{"a", "b"}));
  EXPECT_TRUE(result.pool_exhausted);
}

TEST_P(SelectExamples, RatioPassKeepsTheFirstOfSixFiveFive) {
  auto ranked =
      make_ranked({{"a", 0.9f, {}, {}, 6}, {"b", 0.6f, {}, {}, 5}, {"c", 0.6f, {}, {}, 5}});
  OwnedProblem problem = OwnedProblem::tokens(10);
  SelectionResult result = run(problem, ranked);
  EXPECT_EQ(selected_ids(ranked, result), (Ids{"a"}));
  EXPECT_FALSE(result.single_item);
  EXPECT_FALSE(result.pool_exhausted);
  EXPECT_EQ(result.raw_cut_margin, 0.9f / 6.0f - 0.6f / 5.0f);
  SelectionGuarantee guarantee = selection_guarantee(problem.view(), result);
  EXPECT_FALSE(guarantee.exact);
  EXPECT_EQ(guarantee.guarantee, 0.5f);
}

TEST_P(SelectExamples, ValuePassWinsTenAndOne) {
  auto ranked = make_ranked({{"a", 1.0f, {}, {}, 10}, {"b", 0.2f, {}, {}, 1}});
  SelectionResult result = run(OwnedProblem::tokens(10), ranked);
  EXPECT_EQ(selected_ids(ranked, result), (Ids{"a"}));
  EXPECT_FALSE(result.single_item);
  // Nothing is left before a, so b (0.2 per token) challenges a (0.1 per token).
  EXPECT_EQ(result.raw_cut_margin, 1.0f / 10.0f - 0.2f / 1.0f);
}

TEST_P(SelectExamples, SingleItemWinsOverPassesWithNegativeValues) {
  auto ranked = make_ranked({{"a", 0.5f, {}, {}, 1}, {"b", -0.4f, {}, {}, 1}});
  SelectionResult result = run(OwnedProblem::tokens(2), ranked);
  EXPECT_EQ(selected_ids(ranked, result), (Ids{"a"}));
  EXPECT_TRUE(result.single_item);
  EXPECT_TRUE(result.pool_exhausted);  // pass A took the whole list
  ASSERT_TRUE(result.raw_cut_margin.has_value());
  EXPECT_TRUE(std::isnan(*result.raw_cut_margin));
}

TEST_P(SelectExamples, TokensWithoutACostFunctionCountEveryCostAsZero) {
  auto ranked = make_ranked({{"a", 0.9f, {}, {}, 50}, {"b", 0.5f, {}, {}, 70}});
  OwnedProblem problem = OwnedProblem::tokens(10);
  problem.cost = nullptr;
  SelectionResult result = run(problem, ranked);
  EXPECT_EQ(selected_ids(ranked, result), (Ids{"a", "b"}));
  EXPECT_FALSE(result.raw_cut_margin.has_value());
}

TEST_P(SelectExamples, TokenCutMarginUsesTheBudgetLeftBeforeTheLast) {
  // a (cost 4) then b (cost 4) fill 8 of 9; c (cost 5) fits next to a alone.
  auto ranked =
      make_ranked({{"a", 0.8f, {}, {}, 4}, {"b", 0.6f, {}, {}, 4}, {"c", 0.5f, {}, {}, 5}});
  SelectionResult result = run(OwnedProblem::tokens(9), ranked);
  EXPECT_EQ(selected_ids(ranked, result), (Ids{"a", "b"}));
  EXPECT_EQ(result.raw_cut_margin, 0.6f / 4.0f - 0.5f / 5.0f);
}

std::string implementation_name(const ::testing::TestParamInfo<SelectFn>& info) {
  return info.param == &korvane::select ? "optimised" : "literal";
}
INSTANTIATE_TEST_SUITE_P(Select, SelectExamples,
                         ::testing::Values(&korvane::select, &oracle::select), implementation_name);

}  // namespace
}  // namespace korvane
