#include "audit/audit_json.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace korvane {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::string string_of(std::string_view text) {
  std::string out;
  json_string(out, text);
  return out;
}

std::string float_of(float x) {
  std::string out;
  json_float(out, x);
  return out;
}

EvidenceTerm term(TermInput input, float weight, float contribution) {
  EvidenceTerm t;
  t.input = input;
  t.weight = weight;
  t.contribution = contribution;
  return t;
}

RankedEntry bare_entry(CandidateId id, FusionMethod method) {
  RankedEntry entry;
  entry.candidate.id = std::move(id);
  entry.rank = 1;
  entry.fusion.method = method;
  return entry;
}

TEST(AuditJsonTest, WorkedExample) {
  RankedEntry entry = bare_entry(std::string("doc-7"), FusionMethod::WeightedSum);
  entry.fused = 0.8f;
  entry.scores = {0.8f, std::nullopt};
  const RunLabels labels{{"bm25", "fresh"}, {"per_site"}};
  entry.fusion.missing = MissingPolicy::Skip;
  entry.fusion.terms = {term(TermInput::Value(0.8f), 1.0f, 0.8f),
                        term(TermInput::Skipped(), 0.0f, 0.0f)};
  EXPECT_EQ(
      audit_json(entry, labels),
      R"({"candidate":"doc-7","rank":1,"fused":0.8,"scores":{"bm25":0.8,"fresh":null},)"
      R"("missing_policy":"skip","fusion":{"method":"weighted_sum","terms":[{"scorer":"bm25",)"
      R"("input":{"kind":"value","value":0.8},"weight":1.0,"contribution":0.8},)"
      R"({"scorer":"fresh","input":{"kind":"skipped"},"weight":0.0,"contribution":0.0}]},)"
      R"("constraints":{"per_site":"pass"}})");
}

TEST(AuditJsonTest, RrfWithAnIntegerIdentifier) {
  RankedEntry entry = bare_entry(uint64_t{42}, FusionMethod::Rrf);
  entry.rank = 2;
  entry.fusion.k = 60.0f;
  const float contribution = 1.0f / (60.0f + 3.0f);
  entry.fused = contribution;
  entry.scores = {12.5f};
  entry.fusion.terms = {term(TermInput::Rank(3), 1.0f, contribution)};
  entry.fusion.missing = MissingPolicy::Reject;
  EXPECT_EQ(audit_json(entry, RunLabels{{"bm25"}, {}}),
            R"({"candidate":"42","rank":2,"fused":0.015873017,"scores":{"bm25":12.5},)"
            R"("missing_policy":"reject","fusion":{"method":"rrf","k":60.0,"terms":[)"
            R"({"scorer":"bm25","input":{"kind":"rank","rank":3},"weight":1.0,)"
            R"("contribution":0.015873017}]},"constraints":{}})");
}

TEST(AuditJsonTest, EmptyPartsAndNoK) {
  RankedEntry entry = bare_entry(std::string(""), FusionMethod::Max);
  entry.rank = 4294967295u;
  entry.fused = 3.0f;
  EXPECT_EQ(audit_json(entry, RunLabels{}),
            R"({"candidate":"","rank":4294967295,"fused":3.0,"scores":{},"missing_policy":"skip",)"
            R"("fusion":{"method":"max","terms":[]},"constraints":{}})");
}

TEST(AuditJsonTest, ImputedInputsAndSeveralConstraints) {
  RankedEntry entry = bare_entry(std::string("x"), FusionMethod::WeightedSum);
  entry.fused = 0.25f;
  entry.scores = {std::nullopt};
  entry.fusion.missing = MissingPolicy::Impute;
  entry.fusion.terms = {term(TermInput::Imputed(0.5f), 0.5f, 0.25f)};
  EXPECT_EQ(audit_json(entry, RunLabels{{"a"}, {"per_site", "total"}}),
            R"({"candidate":"x","rank":1,"fused":0.25,"scores":{"a":null},)"
            R"("missing_policy":"impute","fusion":{"method":"weighted_sum","terms":[)"
            R"({"scorer":"a","input":{"kind":"imputed","value":0.5},"weight":0.5,)"
            R"("contribution":0.25}]},"constraints":{"per_site":"pass","total":"pass"}})");
}

TEST(AuditJsonTest, NonFiniteNumbersAreNull) {
  RankedEntry entry = bare_entry(uint64_t{7}, FusionMethod::Rrf);
  entry.fused = kNaN;
  entry.fusion.k = kInf;
  entry.scores = {-kInf};
  entry.fusion.terms = {term(TermInput::Value(kNaN), kInf, -kInf),
                        term(TermInput::Imputed(kInf), 1.0f, 0.0f)};
  EXPECT_EQ(audit_json(entry, RunLabels{{"a", "b"}, {}}),
            R"({"candidate":"7","rank":1,"fused":null,"scores":{"a":null},)"
            R"("missing_policy":"skip","fusion":{"method":"rrf","k":null,"terms":[)"
            R"({"scorer":"a","input":{"kind":"value","value":null},"weight":null,)"
            R"("contribution":null},{"scorer":"b","input":{"kind":"imputed","value":null},)"
            R"("weight":1.0,"contribution":0.0}]},"constraints":{}})");
}

TEST(AuditJsonTest, DigitIdentifiersLookAlike) {
  const RunLabels none;
  const std::string integer = audit_json(bare_entry(uint64_t{42}, FusionMethod::Max), none);
  const std::string text = audit_json(bare_entry(std::string("42"), FusionMethod::Max), none);
  EXPECT_EQ(integer, text);
  EXPECT_EQ(integer.rfind(R"({"candidate":"42",)", 0), 0u);
  const std::string largest =
      audit_json(bare_entry(std::numeric_limits<uint64_t>::max(), FusionMethod::Max), none);
  EXPECT_EQ(largest.rfind(R"({"candidate":"18446744073709551615",)", 0), 0u);
  // A text identifier is escaped like any other string.
  const std::string quoted = audit_json(bare_entry(std::string("a\"b"), FusionMethod::Max), none);
  EXPECT_EQ(quoted.rfind(R"({"candidate":"a\"b",)", 0), 0u);
}

TEST(AuditJsonTest, LongEntriesGrowPastTheInitialBuffer) {
  RankedEntry entry = bare_entry(std::string(300, 'i'), FusionMethod::Max);
  RunLabels labels;
  for (int i = 0; i < 20; ++i) {
    labels.axes.push_back("axis_" + std::to_string(i));
    entry.scores.push_back(float(i));
    entry.fusion.terms.push_back(term(TermInput::Value(float(i)), 1.0f, float(i)));
  }
  const std::string json = audit_json(entry, labels);
  EXPECT_GT(json.size(), 1000u);
  EXPECT_NE(json.find(R"("axis_19":19.0})"), std::string::npos);
  EXPECT_TRUE(json.ends_with(R"(]},"constraints":{}})"));
}

TEST(JsonStringTest, Escapes) {
  EXPECT_EQ(string_of("a\"b\\c"), R"("a\"b\\c")");
  EXPECT_EQ(string_of("\t\n\r"), R"("\t\n\r")");
  EXPECT_EQ(string_of("\x01"), R"("\u0001")");
  EXPECT_EQ(string_of("\b\f"), R"("\u0008\u000c")");
  EXPECT_EQ(string_of("\x1f\x1a"), R"("\u001f\u001a")");
  EXPECT_EQ(string_of(std::string_view("\0z", 2)), R"("\u0000z")");
  EXPECT_EQ(string_of(""), R"("")");
}

TEST(JsonStringTest, CopiesEverythingElseAsBytes) {
  EXPECT_EQ(string_of("a/b"), R"("a/b")");
  EXPECT_EQ(string_of("\x7f"), "\"\x7f\"");
  EXPECT_EQ(string_of("신선도"), "\"신선도\"");
  EXPECT_EQ(string_of("é \xf0\x9f\x98\x80"), "\"é \xf0\x9f\x98\x80\"");
  EXPECT_EQ(string_of(" "), "\" \"");
}

TEST(JsonStringTest, AxisNamesAreEscapedInScoresAndTerms) {
  RankedEntry entry = bare_entry(std::string("c"), FusionMethod::Max);
  entry.scores = {1.0f};
  entry.fusion.terms = {term(TermInput::Value(1.0f), 1.0f, 1.0f)};
  const std::string json = audit_json(entry, RunLabels{{"q\"\\\t\x01"}, {"per\nsite"}});
  EXPECT_NE(json.find(R"("scores":{"q\"\\\t\u0001":1.0})"), std::string::npos) << json;
  EXPECT_NE(json.find(R"({"scorer":"q\"\\\t\u0001","input")"), std::string::npos) << json;
  EXPECT_NE(json.find(R"("constraints":{"per\nsite":"pass"}})"), std::string::npos) << json;
}

TEST(JsonFloatTest, PositionalWithPointZeroOnWholeNumbers) {
  EXPECT_EQ(float_of(3.0f), "3.0");
  EXPECT_EQ(float_of(-0.0f), "-0.0");
  EXPECT_EQ(float_of(0.0f), "0.0");
  EXPECT_EQ(float_of(0.5f), "0.5");
  EXPECT_EQ(float_of(1e20f), "100000000000000000000.0");
  EXPECT_EQ(float_of(0.0001f), "0.0001");
  EXPECT_EQ(float_of(1e-7f), "0.0000001");
  EXPECT_EQ(float_of(-1.5f), "-1.5");
  EXPECT_EQ(float_of(kNaN), "null");
  EXPECT_EQ(float_of(kInf), "null");
  EXPECT_EQ(float_of(-kInf), "null");
}

TEST(JsonFloatTest, AppendsAndLooksOnlyAtItsOwnDigits) {
  std::string out = "[1.5,";
  json_float(out, 3.0f);
  out += ',';
  json_string(out, "e");
  out += ',';
  json_float(out, 7.0f);
  EXPECT_EQ(out, R"([1.5,3.0,"e",7.0)");
}

}  // namespace
}  // namespace korvane
