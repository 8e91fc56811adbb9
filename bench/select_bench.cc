// Selection benchmark: the optimised select() against the literal algorithm (the test
// oracle), which rebuilds the member list and rescans it for every constraint and gain call.
//
//   coverage: K = 1000 over 32,000 ranked records, coverage objective, one per-group maximum.
//             The literal run is timed at smaller sizes and extrapolated by its K^2 * n cost.
//   count:    K = 320 over 10,240 records, a per-group and a total maximum, no objective.
//   repair:   the coverage case plus a requirement for 200 members of a rare group value.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../tests/native/select_oracle.h"
#include "engine/entry_order.h"
#include "select/selection.h"

namespace {

using namespace korvane;
using Clock = std::chrono::steady_clock;

struct Problem {
  std::vector<std::unique_ptr<SetConstraint>> constraints;
  std::vector<Requirement> requirements;
  std::unique_ptr<Objective> objective;
  uint64_t k = 0;

  SelectionProblem view() const {
    SelectionProblem problem;
    problem.k = k;
    problem.constraints = constraints;
    problem.requirements = requirements;
    problem.objective = objective.get();
    return problem;
  }
};

// n records in ranking order: fused scores in [0, 1), `sites` group values, and (when
// `items` > 0) 3 to 8 cover items each from a skewed vocabulary of `items` texts.
std::vector<ScoredRecord> make_ranked(size_t n, size_t sites, size_t items, uint64_t seed) {
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<float> score(0.0f, 1.0f);
  std::uniform_int_distribution<size_t> site(0, sites - 1);
  std::uniform_int_distribution<int> length(3, 8);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  // The ranking points at records held here, at stable addresses, for the whole program.
  static std::deque<PoolRecord> records;
  std::vector<ScoredRecord> ranked(n);
  for (size_t i = 0; i < n; ++i) {
    ScoredRecord& record = ranked[i];
    record.record = &records.emplace_back();
    record.record->candidate.id = CandidateId(uint64_t{i});
    record.fused = score(random);
    record.record->candidate.groups = {"site-" + std::to_string(site(random))};
    if (items > 0) {
      for (int j = length(random); j > 0; --j) {
        // Squared uniform: low item numbers are common, high ones rare.
        const double u = unit(random);
        const size_t item = static_cast<size_t>(u * u * static_cast<double>(items));
        record.record->candidate.cover.push_back("item-" + std::to_string(item));
      }
    }
  }
  std::stable_sort(ranked.begin(), ranked.end(), [](const ScoredRecord& a, const ScoredRecord& b) {
    return entry_better(a.fused, a.id(), b.fused, b.id());
  });
  return ranked;
}

Problem coverage_problem(uint64_t k) {
  Problem problem;
  problem.k = k;
  problem.constraints.push_back(std::make_unique<MaxPerGroup>("site", 0, 2));
  problem.objective = std::make_unique<CoverageObjective>();
  return problem;
}

Problem count_problem(uint64_t k) {
  Problem problem;
  problem.k = k;
  problem.constraints.push_back(std::make_unique<MaxPerGroup>("site", 0, 3));
  problem.constraints.push_back(std::make_unique<MaxTotal>("max_total", k - k / 8));
  return problem;
}

template <class Select>
double seconds(const Problem& problem, const std::vector<ScoredRecord>& ranked, Select select,
               SelectionResult& out) {
  const auto start = Clock::now();
  Result<SelectionResult> result = select(problem.view(), ranked);
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  if (!result.ok()) {
    std::printf("unexpected selection error\n");
    std::exit(1);
  }
  out = std::move(result).value();
  return elapsed;
}

bool same(const SelectionResult& a, const SelectionResult& b) {
  auto bits = [](std::optional<float> v) {
    return v ? std::optional<uint32_t>(std::bit_cast<uint32_t>(*v)) : std::nullopt;
  };
  return a.selected == b.selected && a.blocked_by == b.blocked_by &&
         bits(a.raw_cut_margin) == bits(b.raw_cut_margin) && a.pool_exhausted == b.pool_exhausted;
}

auto optimised = [](const SelectionProblem& p, std::span<const ScoredRecord> r) {
  return korvane::select(p, r);
};
auto literal = [](const SelectionProblem& p, std::span<const ScoredRecord> r) {
  return oracle::select(p, r);
};

void coverage_bench() {
  std::printf("== coverage objective + max_per_group(site, 2)\n");
  const size_t full_n = 32000, full_k = 1000;
  // Literal at two smaller sizes (same n/K ratio of 32) to measure its growth.
  struct Point {
    size_t k;
    double literal_s, optimised_s;
  };
  std::vector<Point> points;
  for (size_t k : {50, 100}) {
    const size_t n = 32 * k;
    auto ranked = make_ranked(n, n / 16, n / 4, k);
    Problem problem = coverage_problem(k);
    SelectionResult fast, slow;
    const double optimised_s = seconds(problem, ranked, optimised, fast);
    const double literal_s = seconds(problem, ranked, literal, slow);
    std::printf(
        "  K=%5zu n=%6zu  literal %9.3f s  optimised %8.4f s  ratio %7.0fx  same result: %s\n", k,
        n, literal_s, optimised_s, literal_s / optimised_s, same(fast, slow) ? "yes" : "NO");
    points.push_back({k, literal_s, optimised_s});
  }
  // With n = 32 K the literal cost grows as K^3 (picks x n x members).
  const double exponent = std::log(points[1].literal_s / points[0].literal_s) / std::log(2.0);
  const double scale = static_cast<double>(full_k) / static_cast<double>(points[1].k);
  const double extrapolated = points[1].literal_s * std::pow(scale, 3.0);

  auto ranked = make_ranked(full_n, full_n / 16, full_n / 4, 1);
  Problem problem = coverage_problem(full_k);
  SelectionResult result;
  const double optimised_s = seconds(problem, ranked, optimised, result);
  std::printf("  measured literal growth per doubling of K (n = 32 K): K^%.2f\n", exponent);
  std::printf("  K=%5zu n=%6zu  optimised %8.3f s  (%zu members)\n", full_k, full_n, optimised_s,
              result.selected.size());
  std::printf("  literal extrapolated as K^3 from K=%zu: %.0f s (%.1f h); ratio %.0fx\n",
              points[1].k, extrapolated, extrapolated / 3600.0, extrapolated / optimised_s);
}

void count_bench() {
  std::printf("== count mode, max_per_group(site, 3) + max_total, no objective\n");
  const size_t n = 10240, k = 320;
  auto ranked = make_ranked(n, 200, 0, 2);
  Problem problem = count_problem(k);
  SelectionResult fast, slow;
  const double optimised_s = seconds(problem, ranked, optimised, fast);
  const double literal_s = seconds(problem, ranked, literal, slow);
  std::printf(
      "  K=%5zu n=%6zu  literal %9.3f s  optimised %8.4f s  ratio %7.0fx  same result: %s\n", k, n,
      literal_s, optimised_s, literal_s / optimised_s, same(fast, slow) ? "yes" : "NO");
}

void repair_bench() {
  std::printf("== coverage case + require_at_least(site, site-7, 200)\n");
  const size_t n = 32000, k = 1000;
  auto ranked = make_ranked(n, n / 16, n / 4, 3);
  // Every tenth record moves to the rare site, 3,200 candidates for 200 places.
  for (size_t i = 0; i < n; i += 10) ranked[i].record->candidate.groups = {"site-7"};
  Problem problem = coverage_problem(k);
  problem.constraints.clear();
  problem.constraints.push_back(std::make_unique<MaxPerGroup>("lang", 1, 2));
  for (size_t i = 0; i < n; ++i) {
    ranked[i].record->candidate.groups.push_back("lang-" + std::to_string(i % 997));
  }
  problem.requirements.push_back(Requirement{"site", 0, "site-7", 200});
  SelectionResult result;
  const double optimised_s = seconds(problem, ranked, optimised, result);
  std::printf("  K=%5zu n=%6zu  optimised %8.3f s  (exchanged: %s)\n", k, n, optimised_s,
              result.exchanged ? "yes" : "no");
}

}  // namespace

int main() {
  coverage_bench();
  count_bench();
  repair_bench();
  return 0;
}
