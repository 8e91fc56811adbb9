#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "engine/engine.h"

namespace korvane {
namespace {

using namespace errors;

std::shared_ptr<Scorer> axis(std::string name, Scale scale = Scale::Unit,
                             CostClass cost = CostClass::Cheap,
                             std::optional<Normalizer> normalizer = std::nullopt) {
  return std::make_shared<FieldScorer>(std::move(name), 0, normalizer, scale, cost);
}

Fusion weighted(std::vector<std::pair<std::string, float>> weights = {}) {
  return Fusion{Fusion::WeightedSum{std::move(weights)}};
}

// The first error validate() reports, as its display text; "" when the engine is accepted.
std::string first_problem(const Engine& engine) {
  Status status = validate(engine);
  return status.ok() ? "" : status.error().message();
}

template <class V>
const V* problem_as(const Engine& engine, Status& status) {
  status = validate(engine);
  return status.ok() ? nullptr : status.error().get_if<V>();
}

TEST(EngineBuilderTest, ScorerKeepsAxesAndScorersParallel) {
  Engine engine = Engine()
                      .scorer(axis("a", Scale::Rank, CostClass::Cheap, Normalizer::Sigmoid()))
                      .scorer(axis("b", Scale::Unbounded, CostClass::Expensive));
  ASSERT_EQ(engine.axes.size(), 2u);
  ASSERT_EQ(engine.scorers.size(), 2u);
  EXPECT_EQ(engine.axes[0].name, "a");
  EXPECT_EQ(engine.axes[0].scale, Scale::Unit);  // effective scale
  EXPECT_EQ(engine.axes[1].name, "b");
  EXPECT_EQ(engine.axes[1].scale, Scale::Unbounded);
  EXPECT_EQ(engine.axes[1].cost, CostClass::Expensive);
  EXPECT_EQ(engine.scorers[1]->name(), "b");
}

class CountingObjective final : public Objective {
 public:
  explicit CountingObjective(int* alive) : alive_(alive) { ++*alive_; }
  ~CountingObjective() override { --*alive_; }
  float gain(std::span<const ScoredRecord* const>, const ScoredRecord&) const override {
    return 0.0f;
  }
  bool is_submodular() const override { return true; }

 private:
  int* alive_;
};

class AcceptAll final : public SetConstraint {
 public:
  explicit AcceptAll(std::string id) : id_(std::move(id)) {}
  std::string id() const override { return id_; }
  bool accepts(std::span<const ScoredRecord* const>, const ScoredRecord&) const override {
    return true;
  }
  bool is_matroid() const override { return true; }

 private:
  std::string id_;
};

TEST(EngineBuilderTest, LaterCallsReplaceOrAppend) {
  int alive = 0;
  Engine engine = Engine()
                      .with_budget(Budget{Budget::Tokens{100}})
                      .with_budget(Budget{Budget::TopK{3}})
                      .with_admission("x")
                      .with_admission("y")
                      .constraint(std::make_unique<AcceptAll>("c1"))
                      .constraint(std::make_unique<AcceptAll>("c2"))
                      .with_objective(std::make_unique<CountingObjective>(&alive))
                      .with_objective(std::make_unique<CountingObjective>(&alive));
  EXPECT_EQ(std::get<Budget::TopK>(engine.budget.kind).k, 3u);
  EXPECT_EQ(engine.admission, "y");
  ASSERT_EQ(engine.set_constraints.size(), 2u);
  EXPECT_EQ(engine.set_constraints[0]->id(), "c1");
  EXPECT_EQ(alive, 1);  // the first objective was dropped when replaced
}

TEST(ValidateTest, NoScorers) {
  Status status;
  EXPECT_NE(problem_as<NoScorers>(Engine(), status), nullptr);
  // Every other setting is irrelevant until an axis exists.
  EXPECT_NE(problem_as<NoScorers>(Engine().with_pool_multiplier(0).with_admission("x"), status),
            nullptr);
}

TEST(ValidateTest, MinimalEnginesPass) {
  EXPECT_EQ(first_problem(Engine().scorer(axis("a"))), "");
  EXPECT_EQ(first_problem(Engine().scorer(axis("a")).with_fusion(Fusion{Fusion::Max{}})), "");
  EXPECT_EQ(first_problem(Engine().scorer(axis("a")).with_fusion(weighted())), "");
}

TEST(ValidateTest, DuplicateNamesAreExactByteStrings) {
  Status status;
  const auto* dup = problem_as<DuplicateScorer>(
      Engine().scorer(axis("a")).scorer(axis("b")).scorer(axis("a")), status);
  ASSERT_NE(dup, nullptr);
  EXPECT_EQ(dup->name, "a");
  // Case and surrounding spaces make different names.
  EXPECT_EQ(first_problem(Engine().scorer(axis("a")).scorer(axis("A")).scorer(axis("a "))), "");
}

TEST(ValidateTest, DuplicateIsCheckedBeforeScaleOfTheSameAxis) {
  // The second a is also Rank under weighted_sum; its duplicate check comes first.
  Status status;
  const auto* dup = problem_as<DuplicateScorer>(
      Engine().with_fusion(weighted()).scorer(axis("a")).scorer(axis("a", Scale::Rank)), status);
  ASSERT_NE(dup, nullptr);
  EXPECT_EQ(dup->name, "a");
}

TEST(ValidateTest, AxesAreCheckedOneAfterAnother) {
  // The second axis fails its scale check before the third axis's duplicate is looked at.
  Engine engine = Engine()
                      .with_fusion(Fusion{Fusion::Max{}})
                      .scorer(axis("x"))
                      .scorer(axis("y", Scale::Rank))
                      .scorer(axis("x", Scale::Rank));
  Status status;
  const auto* mismatch = problem_as<ScaleFusionMismatch>(engine, status);
  ASSERT_NE(mismatch, nullptr);
  EXPECT_EQ(mismatch->name, "y");
}

TEST(ValidateTest, ScaleFusionMismatchNamesAxisScaleAndMethod) {
  EXPECT_EQ(
      first_problem(Engine().with_fusion(Fusion{Fusion::Max{}}).scorer(axis("x", Scale::Rank))),
      "채점기 'x' 의 척도 Rank 는 융합 방식 max 과 함께 쓸 수 없다. 정규화기를 "
      "끼우거나(Scorer::normalized) 순위 융합(Fusion::Rrf)으로 바꿔야 한다");
  Status status;
  const auto* mismatch = problem_as<ScaleFusionMismatch>(
      Engine().with_fusion(weighted()).scorer(axis("a")).scorer(axis("u", Scale::Unbounded)),
      status);
  ASSERT_NE(mismatch, nullptr);
  EXPECT_EQ(mismatch->name, "u");
  EXPECT_EQ(mismatch->scale, Scale::Unbounded);
  EXPECT_EQ(mismatch->method, FusionMethod::WeightedSum);
}

TEST(ValidateTest, NormalizedOrRrfAxesPassTheScaleCheck) {
  EXPECT_EQ(
      first_problem(Engine()
                        .with_fusion(Fusion{Fusion::Max{}})
                        .scorer(axis("x", Scale::Rank, CostClass::Cheap, Normalizer::Clamp01()))),
      "");
  EXPECT_EQ(first_problem(Engine()
                              .with_fusion(weighted())
                              .scorer(axis("x", Scale::Rank, CostClass::Cheap,
                                           Normalizer::MinMax(0.0f, 9.0f)))),
            "");
  EXPECT_EQ(
      first_problem(Engine().scorer(axis("u", Scale::Unbounded)).scorer(axis("r", Scale::Rank))),
      "");
}

TEST(ValidateTest, WeightsMustNameRegisteredAxes) {
  Status status;
  const auto* unknown = problem_as<UnknownWeightScorer>(
      Engine().scorer(axis("x")).with_fusion(weighted({{"x", 1.0f}, {"y", 2.0f}, {"z", 3.0f}})),
      status);
  ASSERT_NE(unknown, nullptr);
  EXPECT_EQ(unknown->name, "y");  // first unknown entry in list order
  // Zero, negative, non-finite and repeated weights are not examined.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(first_problem(Engine().scorer(axis("x")).with_fusion(
                weighted({{"x", 0.0f}, {"x", -1.0f}, {"x", nan}}))),
            "");
}

TEST(ValidateTest, ScaleCheckRunsBeforeWeights) {
  Status status;
  EXPECT_NE(problem_as<ScaleFusionMismatch>(
                Engine().scorer(axis("x", Scale::Rank)).with_fusion(weighted({{"nowhere", 1.0f}})),
                status),
            nullptr);
}

TEST(ValidateTest, WeightsBeforeAdmission) {
  Status status;
  EXPECT_NE(
      problem_as<UnknownWeightScorer>(
          Engine().scorer(axis("x")).with_fusion(weighted({{"y", 1.0f}})).with_admission("nowhere"),
          status),
      nullptr);
}

TEST(ValidateTest, AdmissionAxis) {
  Engine base =
      Engine().scorer(axis("cheap")).scorer(axis("slow", Scale::Unit, CostClass::Expensive));
  Status status;
  const auto* unknown = problem_as<UnknownAdmissionScorer>(
      Engine().scorer(axis("cheap")).with_admission("Cheap"), status);
  ASSERT_NE(unknown, nullptr);
  EXPECT_EQ(unknown->name, "Cheap");
  const auto* expensive =
      problem_as<ExpensiveAdmissionScorer>(std::move(base).with_admission("slow"), status);
  ASSERT_NE(expensive, nullptr);
  EXPECT_EQ(expensive->name, "slow");
}

TEST(ValidateTest, RrfNeedsACheapAxisOrAnAdmissionAxis) {
  auto expensive = [](std::string name) {
    return axis(std::move(name), Scale::Unit, CostClass::Expensive);
  };
  Status status;
  EXPECT_NE(problem_as<RrfWithoutCheapScorer>(
                Engine().scorer(expensive("a")).scorer(expensive("b")), status),
            nullptr);
  // An admission axis naming an expensive axis is reported by its own check first.
  EXPECT_NE(problem_as<ExpensiveAdmissionScorer>(
                Engine().scorer(expensive("a")).with_admission("a"), status),
            nullptr);
  // A cheap admission axis skips the check; one cheap axis anywhere satisfies it.
  EXPECT_EQ(first_problem(Engine().scorer(expensive("a")).scorer(axis("c")).with_admission("c")),
            "");
  EXPECT_EQ(first_problem(Engine().scorer(expensive("a")).scorer(axis("c"))), "");
  // weighted_sum and max rank stage 1 by fused cheap axes and need no cheap axis.
  EXPECT_EQ(first_problem(Engine().scorer(expensive("a")).with_fusion(weighted())), "");
  EXPECT_EQ(first_problem(Engine().scorer(expensive("a")).with_fusion(Fusion{Fusion::Max{}})), "");
}

TEST(ValidateTest, RrfCheckBeforePoolMultiplier) {
  Status status;
  EXPECT_NE(
      problem_as<RrfWithoutCheapScorer>(
          Engine().scorer(axis("a", Scale::Unit, CostClass::Expensive)).with_pool_multiplier(0),
          status),
      nullptr);
}

TEST(ValidateTest, PoolMultiplierBeforeBudget) {
  Status status;
  EXPECT_NE(
      problem_as<ZeroPoolMultiplier>(
          Engine().scorer(axis("a")).with_budget(Budget{Budget::TopK{0}}).with_pool_multiplier(0),
          status),
      nullptr);
  EXPECT_EQ(first_problem(Engine().scorer(axis("a")).with_pool_multiplier(1)), "");
}

TEST(ValidateTest, Budgets) {
  auto with_budget = [](Budget budget) { return Engine().scorer(axis("a")).with_budget(budget); };
  const std::string top_k = "예산 설정이 올바르지 않다: TopK 는 1 이상이어야 한다";
  const std::string tail = "예산 설정이 올바르지 않다: epsilon 은 0 이상 1 미만이어야 한다";
  const std::string tokens =
      "예산 설정이 올바르지 않다: Tokens 예산은 Engine::cost 로 후보별 비용을 함께 받아야 한다";
  EXPECT_EQ(first_problem(with_budget(Budget{Budget::TopK{0}})), top_k);
  EXPECT_EQ(first_problem(with_budget(Budget{Budget::TopK{1}})), "");

  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float below_one = std::nextafter(1.0f, 0.0f);
  for (float bad : {1.0f, 1.5f, -0.001f, nan, std::numeric_limits<float>::infinity()}) {
    EXPECT_EQ(first_problem(with_budget(Budget{Budget::TailMass{bad, 5}})), tail) << bad;
  }
  for (float good : {0.0f, -0.0f, 0.5f, below_one}) {
    // fallback_k is not validated, 0 included.
    EXPECT_EQ(first_problem(with_budget(Budget{Budget::TailMass{good, 0}})), "") << good;
  }

  EXPECT_EQ(first_problem(with_budget(Budget{Budget::Tokens{100}})), tokens);
  EXPECT_EQ(first_problem(with_budget(Budget{Budget::Tokens{0}}).with_cost([](const Candidate&) {
              return 1u;
            })),
            "");
}

}  // namespace
}  // namespace korvane
