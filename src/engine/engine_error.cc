#include "engine/engine_error.h"

#include <string>
#include <type_traits>

namespace korvane {

namespace {

std::string quoted(std::string_view name) {
  std::string out = "'";
  out += name;
  out += '\'';
  return out;
}

std::string text_of(const errors::NoScorers&) {
  return "채점기가 하나도 없다. Engine::scorer 로 최소 하나를 등록해야 한다";
}

std::string text_of(const errors::DuplicateScorer& e) {
  return "채점기 식별자 " + quoted(e.name) + " 가 중복 등록됐다";
}

std::string text_of(const errors::ScaleFusionMismatch& e) {
  std::string out = "채점기 " + quoted(e.name) + " 의 척도 ";
  out += variant_name(e.scale);
  out += " 는 융합 방식 ";
  out += name(e.method);
  out +=
      " 과 함께 쓸 수 없다. 정규화기를 끼우거나(Scorer::normalized) 순위 "
      "융합(Fusion::Rrf)으로 바꿔야 한다";
  return out;
}

std::string text_of(const errors::UnknownWeightScorer& e) {
  return "가중치가 가리키는 채점기 " + quoted(e.name) + " 가 등록돼 있지 않다";
}

std::string text_of(const errors::UnknownAdmissionScorer& e) {
  return "승인 채점기 " + quoted(e.name) + " 가 등록돼 있지 않다";
}

std::string text_of(const errors::ExpensiveAdmissionScorer& e) {
  return "승인 채점기 " + quoted(e.name) +
         " 가 비싼 축이다. 1단계는 후보 전부를 훑으므로 싼 축이어야 한다";
}

std::string text_of(const errors::RrfWithoutCheapScorer&) {
  return "순위 융합(Fusion::Rrf)은 1단계 절단 기준을 스스로 만들지 못한다. 싼 채점기를 하나 "
         "이상 등록하거나 Engine::admission 으로 승인 채점기를 지정해야 한다";
}

std::string text_of(const errors::InvalidBudget& e) {
  return "예산 설정이 올바르지 않다: " + e.text;
}

std::string text_of(const errors::ZeroPoolMultiplier&) {
  return "풀 배수는 1 이상이어야 한다";
}

std::string text_of(const errors::BatchLengthMismatch& e) {
  return "채점기 " + quoted(e.name) + " 의 배치 결과 길이가 " + std::to_string(e.got) +
         " 인데 후보는 " + std::to_string(e.expected) + " 개다";
}

std::string text_of(const errors::RequirementExchangeFailed& e) {
  return "요구 조건 " + quoted(e.id) + " 의 교체에 실패했다. 최소 " + std::to_string(e.n) +
         " 개가 필요하고 풀에서 해당 조건에 맞는 후보는 " + std::to_string(e.available) +
         " 개다. 다른 제약과의 충돌도 확인해야 한다";
}

}  // namespace

bool EngineError::is_runtime() const {
  return is<errors::BatchLengthMismatch>() || is<errors::RequirementExchangeFailed>();
}

std::string EngineError::message() const {
  return std::visit([](const auto& e) { return text_of(e); }, variant_);
}

}  // namespace korvane
