// The optimised select() and is_feasible() against the literal oracle on seeded random
// problems: NaN, infinities, signed zeros and tied scores; integer and text ids; missing
// group values; max 0; several constraints, including kinds the counters do not know;
// requirements that succeed and fail; coverage with repeated items and odd weights; tokens
// mode with cost 0, limit 0 and no cost function.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "select/selection.h"
#include "select_fixtures.h"
#include "select_oracle.h"

namespace korvane {
namespace {

using testing::OwnedProblem;
using testing::RecordSpec;

// Joins texts; spelled out because GCC 12 warns falsely on literal + std::string.
template <class... Parts>
std::string cat(const Parts&... parts) {
  std::ostringstream out;
  (out << ... << parts);
  return out.str();
}

class Random {
 public:
  explicit Random(uint64_t seed) : engine_(seed) {}
  int between(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(engine_); }
  bool chance(double p) { return std::bernoulli_distribution(p)(engine_); }
  template <class T>
  const T& pick(const std::vector<T>& values) {
    return values[static_cast<size_t>(between(0, static_cast<int>(values.size()) - 1))];
  }

 private:
  std::mt19937_64 engine_;
};

// A known constraint kind hidden behind another type, so only its accepts() is available.
class Opaque final : public SetConstraint {
 public:
  explicit Opaque(std::unique_ptr<SetConstraint> inner) : inner_(std::move(inner)) {}
  std::string id() const override { return cat("opaque-", inner_->id()); }
  bool accepts(std::span<const ScoredRecord* const> selected,
               const ScoredRecord& candidate) const override {
    return inner_->accepts(selected, candidate);
  }
  bool is_matroid() const override { return inner_->is_matroid(); }

 private:
  std::unique_ptr<SetConstraint> inner_;
};

// Neither monotone nor a matroid: a refusal now may turn into acceptance later.
class Alternating final : public SetConstraint {
 public:
  std::string id() const override { return "alternating"; }
  bool accepts(std::span<const ScoredRecord* const> selected,
               const ScoredRecord& candidate) const override {
    const std::string shown = candidate.id().display();
    const size_t tag = shown.empty() ? 0 : static_cast<unsigned char>(shown.back());
    return (selected.size() + tag) % 3 != 0;
  }
  bool is_matroid() const override { return false; }
};

class OpaqueObjective final : public Objective {
 public:
  explicit OpaqueObjective(std::unique_ptr<Objective> inner) : inner_(std::move(inner)) {}
  float gain(std::span<const ScoredRecord* const> selected,
             const ScoredRecord& candidate) const override {
    return inner_->gain(selected, candidate);
  }
  bool is_submodular() const override { return inner_->is_submodular(); }

 private:
  std::unique_ptr<Objective> inner_;
};

// Gain grows with the selection: not submodular.
class Crowding final : public Objective {
 public:
  float gain(std::span<const ScoredRecord* const> selected,
             const ScoredRecord& candidate) const override {
    return 0.25f * static_cast<float>(selected.size()) -
           0.5f * static_cast<float>(candidate.candidate().cover.size());
  }
  bool is_submodular() const override { return false; }
};

const std::vector<float>& score_palette() {
  static const std::vector<float> palette = {0.5f,
                                             0.25f,
                                             1.0f,
                                             -1.0f,
                                             0.0f,
                                             -0.0f,
                                             0.1f,
                                             0.3f,
                                             1e-8f,
                                             3.0e38f,
                                             std::numeric_limits<float>::infinity(),
                                             -std::numeric_limits<float>::infinity(),
                                             std::bit_cast<float>(0x7fc00000u),
                                             std::bit_cast<float>(0xffc00000u),
                                             std::bit_cast<float>(0x7f800001u)};
  return palette;
}

std::vector<ScoredRecord> random_ranked(Random& random, int max_size) {
  const int n = random.between(0, max_size);
  const std::vector<std::string> sites = {"x", "y", "z", std::string("x\0", 2)};
  const std::vector<std::string> items = {"a", "b", "c", "d", "e", "f"};
  std::set<std::string> texts;
  std::set<uint64_t> integers;
  std::vector<RecordSpec> specs;
  for (int i = 0; i < n; ++i) {
    CandidateId id;
    if (random.chance(0.5)) {
      uint64_t value;
      do value = static_cast<uint64_t>(random.between(0, 4 * max_size));
      while (!integers.insert(value).second);
      id = CandidateId(value);
    } else {
      std::string text;
      do {
        text.clear();
        for (int len = random.between(0, 3); len > 0; --len)
          text.push_back("ab9"[random.between(0, 2)]);
      } while (!texts.insert(text).second && texts.size() < 40);
      if (texts.size() >= 40) text = cat(text, "#", i);
      id = CandidateId(text);
    }
    // Mostly plain values with many ties; now and then one of the special values.
    float fused = random.chance(0.25) ? random.pick(score_palette())
                                      : static_cast<float>(random.between(-4, 8)) / 8.0f;
    std::vector<std::optional<std::string>> groups(
        static_cast<size_t>(random.chance(0.6) ? 3 : random.between(0, 2)));
    for (auto& group : groups) {
      if (random.chance(0.8)) group = random.pick(sites);
    }
    std::vector<std::string> cover(static_cast<size_t>(random.between(0, 4)));
    for (auto& item : cover) item = random.pick(items);
    uint32_t cost = static_cast<uint32_t>(random.between(0, 6));
    if (random.chance(0.05)) cost = random.chance(0.5) ? UINT32_MAX : (1u << 31);
    specs.push_back(RecordSpec(std::move(id), fused, std::move(groups), std::move(cover), cost));
  }
  return testing::make_ranked(std::move(specs));
}

std::unique_ptr<SetConstraint> random_constraint(Random& random) {
  const size_t key = static_cast<size_t>(random.between(0, 3));  // 3: beyond every group list
  const uint64_t max = random.chance(0.1) ? 0 : static_cast<uint64_t>(random.between(1, 3));
  switch (random.between(0, 5)) {
    case 0:
    case 1:
      return std::make_unique<MaxPerGroup>(cat("g", key), key, max);
    case 2:
      return std::make_unique<MaxTotal>("max_total", static_cast<uint64_t>(random.between(0, 5)));
    case 3:
      return std::make_unique<Opaque>(std::make_unique<MaxPerGroup>("g", key, max));
    case 4:
      return std::make_unique<Opaque>(
          std::make_unique<MaxTotal>("t", static_cast<uint64_t>(random.between(0, 5))));
    default:
      return std::make_unique<Alternating>();
  }
}

float odd_weight(std::string_view item) {
  if (item == "a") return 0.5f;
  if (item == "b") return 2.0f;
  if (item == "c") return -1.0f;
  if (item == "d") return 1e8f;
  if (item == "e") return std::numeric_limits<float>::quiet_NaN();
  return 1.0f;
}

OwnedProblem random_problem(Random& random, const std::vector<ScoredRecord>& ranked) {
  const size_t n = ranked.size();
  OwnedProblem problem;
  if (random.chance(0.65)) {
    if (random.chance(0.9))
      problem.k = static_cast<uint64_t>(random.between(0, static_cast<int>(n) + 2));
  } else {
    problem = OwnedProblem::tokens(
        random.chance(0.1) ? UINT32_MAX : static_cast<uint32_t>(random.between(0, 16)));
    if (random.chance(0.1)) problem.cost = nullptr;
    if (random.chance(0.05)) problem.k = static_cast<uint64_t>(random.between(0, 4));
  }
  for (int c = random.between(0, 3); c > 0; --c)
    problem.constraints.push_back(random_constraint(random));
  const std::vector<std::string> values = {"x", "y", "z"};
  for (int r = random.chance(0.4) ? 0 : random.between(1, 2); r > 0; --r) {
    size_t key = static_cast<size_t>(random.between(0, 2));
    std::string value = random.pick(values);
    // Mostly a value some record carries, so that repair has something to work with.
    if (n > 0 && random.chance(0.8)) {
      const Candidate& source =
          ranked[static_cast<size_t>(random.between(0, static_cast<int>(n) - 1))].candidate();
      for (size_t g = 0; g < source.groups.size(); ++g) {
        if (source.groups[g].has_value()) {
          key = g;
          value = *source.groups[g];
        }
      }
    }
    const uint64_t required = random.pick(std::vector<uint64_t>{0, 1, 1, 1, 1, 1, 2, 2, 3});
    problem.require(cat("r", r), key, value, required);
  }
  switch (random.between(0, 9)) {
    case 0:
    case 1:
    case 2:
      problem.coverage();
      break;
    case 3:
      problem.objective = std::make_unique<CoverageObjective>(odd_weight);
      break;
    case 4:
      problem.objective = std::make_unique<OpaqueObjective>(std::make_unique<CoverageObjective>());
      break;
    case 5:
      problem.objective = std::make_unique<Crowding>();
      break;
    default:
      break;
  }
  return problem;
}

std::string describe(const std::vector<ScoredRecord>& ranked, const OwnedProblem& problem) {
  std::ostringstream out;
  out << "mode=" << (problem.mode == SelectionMode::Tokens ? "tokens" : "count")
      << " k=" << (problem.k ? std::to_string(*problem.k) : "-") << " limit=" << problem.token_limit
      << " constraints=" << problem.constraints.size()
      << " requirements=" << problem.requirements.size()
      << " objective=" << (problem.objective ? "yes" : "no") << "\n";
  for (const ScoredRecord& record : ranked) {
    out << "  " << record.id().display() << " fused=" << record.fused
        << " cost=" << record.candidate().cost << " groups=";
    for (const auto& group : record.candidate().groups) out << (group ? *group : "-") << ",";
    out << " cover=";
    for (const auto& item : record.candidate().cover) out << item << ",";
    out << "\n";
  }
  return out.str();
}

std::optional<uint32_t> bits(std::optional<float> value) {
  if (!value) return std::nullopt;
  return std::bit_cast<uint32_t>(*value);
}

void expect_same(const std::vector<ScoredRecord>& ranked, const OwnedProblem& problem,
                 const std::string& where) {
  const SelectionProblem view = problem.view();
  Result<SelectionResult> fast = select(view, ranked);
  Result<SelectionResult> literal = oracle::select(view, ranked);
  ASSERT_EQ(fast.ok(), literal.ok()) << where << describe(ranked, problem);
  if (!fast.ok()) {
    const auto* a = fast.error().get_if<errors::RequirementExchangeFailed>();
    const auto* b = literal.error().get_if<errors::RequirementExchangeFailed>();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a->id, b->id) << where;
    EXPECT_EQ(a->n, b->n) << where;
    EXPECT_EQ(a->available, b->available) << where;
    return;
  }
  const SelectionResult& x = fast.value();
  const SelectionResult& y = literal.value();
  EXPECT_EQ(x.selected, y.selected) << where << describe(ranked, problem);
  EXPECT_EQ(x.blocked_by, y.blocked_by) << where << describe(ranked, problem);
  EXPECT_EQ(bits(x.raw_cut_margin), bits(y.raw_cut_margin)) << where << describe(ranked, problem);
  EXPECT_EQ(x.pool_exhausted, y.pool_exhausted) << where;
  EXPECT_EQ(x.exchanged, y.exchanged) << where;
  EXPECT_EQ(x.single_item, y.single_item) << where;
}

TEST(SelectAgainstLiteral, SmallRandomProblems) {
  Random random(20240611);
  int failures = 0;
  for (int round = 0; round < 10000 && failures == 0; ++round) {
    std::vector<ScoredRecord> ranked = random_ranked(random, 14);
    OwnedProblem problem = random_problem(random, ranked);
    expect_same(ranked, problem, cat("round ", round, ": "));
    failures += ::testing::Test::HasFailure();
  }
}

TEST(SelectAgainstLiteral, LargerRandomProblems) {
  Random random(77);
  int failures = 0;
  for (int round = 0; round < 150 && failures == 0; ++round) {
    std::vector<ScoredRecord> ranked = random_ranked(random, 90);
    OwnedProblem problem = random_problem(random, ranked);
    expect_same(ranked, problem, cat("round ", round, ": "));
    failures += ::testing::Test::HasFailure();
  }
}

// Long lists with overlapping cover lists: most heap keys go stale between picks.
std::vector<ScoredRecord> skewed_ranked(Random& random, size_t n) {
  std::vector<RecordSpec> specs;
  for (size_t i = 0; i < n; ++i) {
    std::vector<std::string> cover(static_cast<size_t>(random.between(0, 6)));
    for (auto& item : cover) {
      const int u = random.between(0, 99);
      item = cat("i", u * u / 50);  // low item numbers are common
    }
    specs.push_back(RecordSpec(i, static_cast<float>(random.between(0, 20)) / 20.0f,
                               {cat("s", random.between(0, 40)), cat("l", random.between(0, 9))},
                               std::move(cover), static_cast<uint32_t>(random.between(0, 9))));
  }
  return testing::make_ranked(std::move(specs));
}

TEST(SelectAgainstLiteral, LongListsWithCoverage) {
  Random random(99);
  for (int round = 0; round < 4; ++round) {
    std::vector<ScoredRecord> ranked = skewed_ranked(random, 1200);
    OwnedProblem problem = round % 2 == 0 ? OwnedProblem::top_k(40) : OwnedProblem::tokens(120);
    problem.coverage().per_group("site", 0, 2);
    if (round >= 2) problem.require("lang", 1, "l3", 12);
    expect_same(ranked, problem, cat("round ", round, ": "));
    Result<SelectionResult> result = select(problem.view(), ranked);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value().exchanged, round >= 2);
    if (::testing::Test::HasFailure()) break;
  }
}

TEST(IsFeasibleAgainstLiteral, RandomSets) {
  Random random(5);
  for (int round = 0; round < 3000; ++round) {
    std::vector<ScoredRecord> ranked = random_ranked(random, 10);
    OwnedProblem problem = random_problem(random, ranked);
    std::vector<size_t> positions;
    for (size_t pos = 0; pos < ranked.size(); ++pos) {
      if (random.chance(0.4)) positions.push_back(pos);
    }
    std::shuffle(positions.begin(), positions.end(), std::mt19937(static_cast<unsigned>(round)));
    ASSERT_EQ(is_feasible(problem.view(), ranked, positions),
              oracle::is_feasible(problem.view(), ranked, positions))
        << "round " << round << "\n"
        << describe(ranked, problem);
  }
}

}  // namespace
}  // namespace korvane
