#include "engine/engine_error.h"

#include <gtest/gtest.h>

namespace korvane {
namespace {

using namespace errors;

TEST(EngineErrorTest, ConfigurationTextsAreExact) {
  EXPECT_EQ(EngineError(NoScorers{}).message(),
            "채점기가 하나도 없다. Engine::scorer 로 최소 하나를 등록해야 한다");
  EXPECT_EQ(EngineError(DuplicateScorer{"bm25"}).message(),
            "채점기 식별자 'bm25' 가 중복 등록됐다");
  EXPECT_EQ(EngineError(ScaleFusionMismatch{"x", Scale::Rank, FusionMethod::Max}).message(),
            "채점기 'x' 의 척도 Rank 는 융합 방식 max 과 함께 쓸 수 없다. 정규화기를 "
            "끼우거나(Scorer::normalized) 순위 융합(Fusion::Rrf)으로 바꿔야 한다");
  EXPECT_EQ(
      EngineError(ScaleFusionMismatch{"y", Scale::Unbounded, FusionMethod::WeightedSum}).message(),
      "채점기 'y' 의 척도 Unbounded 는 융합 방식 weighted_sum 과 함께 쓸 수 없다. 정규화기를 "
      "끼우거나(Scorer::normalized) 순위 융합(Fusion::Rrf)으로 바꿔야 한다");
  EXPECT_EQ(EngineError(UnknownWeightScorer{"y"}).message(),
            "가중치가 가리키는 채점기 'y' 가 등록돼 있지 않다");
  EXPECT_EQ(EngineError(UnknownAdmissionScorer{"fast"}).message(),
            "승인 채점기 'fast' 가 등록돼 있지 않다");
  EXPECT_EQ(EngineError(ExpensiveAdmissionScorer{"rerank"}).message(),
            "승인 채점기 'rerank' 가 비싼 축이다. 1단계는 후보 전부를 훑으므로 싼 축이어야 한다");
  EXPECT_EQ(EngineError(RrfWithoutCheapScorer{}).message(),
            "순위 융합(Fusion::Rrf)은 1단계 절단 기준을 스스로 만들지 못한다. 싼 채점기를 하나 "
            "이상 등록하거나 Engine::admission 으로 승인 채점기를 지정해야 한다");
  EXPECT_EQ(EngineError(ZeroPoolMultiplier{}).message(), "풀 배수는 1 이상이어야 한다");
}

TEST(EngineErrorTest, BudgetTextsAreExact) {
  EXPECT_EQ(EngineError(InvalidBudget{std::string(kTopKBudgetText)}).message(),
            "예산 설정이 올바르지 않다: TopK 는 1 이상이어야 한다");
  EXPECT_EQ(EngineError(InvalidBudget{std::string(kTailMassBudgetText)}).message(),
            "예산 설정이 올바르지 않다: epsilon 은 0 이상 1 미만이어야 한다");
  EXPECT_EQ(EngineError(InvalidBudget{std::string(kTokensBudgetText)}).message(),
            "예산 설정이 올바르지 않다: Tokens 예산은 Engine::cost 로 후보별 비용을 함께 받아야 "
            "한다");
}

TEST(EngineErrorTest, RunTimeTextsShowNumbersInPlainDecimal) {
  EXPECT_EQ(EngineError(BatchLengthMismatch{"rerank", 3, 12345678901234567890u}).message(),
            "채점기 'rerank' 의 배치 결과 길이가 3 인데 후보는 12345678901234567890 개다");
  EXPECT_EQ(EngineError(BatchLengthMismatch{"r", 0, 1000000}).message(),
            "채점기 'r' 의 배치 결과 길이가 0 인데 후보는 1000000 개다");
  EXPECT_EQ(EngineError(RequirementExchangeFailed{"need_news", 3, 1}).message(),
            "요구 조건 'need_news' 의 교체에 실패했다. 최소 3 개가 필요하고 풀에서 해당 조건에 "
            "맞는 후보는 1 개다. 다른 제약과의 충돌도 확인해야 한다");
}

TEST(EngineErrorTest, NamesAreShownAsGiven) {
  // No trimming, no escaping: quotes and spaces inside names pass through.
  EXPECT_EQ(EngineError(DuplicateScorer{" it's "}).message(),
            "채점기 식별자 ' it's ' 가 중복 등록됐다");
  EXPECT_EQ(EngineError(UnknownAdmissionScorer{""}).message(),
            "승인 채점기 '' 가 등록돼 있지 않다");
}

TEST(EngineErrorTest, OnlyTheTwoRunVariantsAreRunTime) {
  const EngineError configuration[] = {
      NoScorers{},
      DuplicateScorer{"a"},
      ScaleFusionMismatch{"a", Scale::Rank, FusionMethod::Max},
      UnknownWeightScorer{"a"},
      UnknownAdmissionScorer{"a"},
      ExpensiveAdmissionScorer{"a"},
      RrfWithoutCheapScorer{},
      InvalidBudget{"t"},
      ZeroPoolMultiplier{},
  };
  for (const EngineError& error : configuration)
    EXPECT_FALSE(error.is_runtime()) << error.message();
  EXPECT_TRUE(EngineError(BatchLengthMismatch{"a", 1, 2}).is_runtime());
  EXPECT_TRUE(EngineError(RequirementExchangeFailed{"a", 1, 0}).is_runtime());
}

}  // namespace
}  // namespace korvane
