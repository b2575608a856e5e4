// The optimiser's adapter: candidates within the bounds, the same run under one seed, failures told as
// the worst known, and a fit that goes the right way.

#include "nalto/calibrate/search.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace nalto::calibrate {
namespace {

// A smooth bowl with its floor at (3, 200) on a linear and a log scale.
double bowl(const std::vector<double>& v) {
  return std::pow((v[0] - 3) / 10, 2) + std::pow(std::log(v[1] / 200), 2);
}

const std::vector<Parameter> PARAMETERS = {parse_parameter("a=-10..10"), parse_parameter("b=1..1e4:log")};

// Runs `budget` evaluations in batches of `batch`; a candidate whose a lies beyond `fails_beyond` fails,
// as a sim refuses values it cannot run with.
std::vector<Evaluated> run(std::uint64_t seed, std::size_t batch, std::size_t budget,
                           double fails_beyond = INFINITY) {
  std::vector<Evaluated> seen{{{0.0, 100.0}, bowl({0.0, 100.0})}};
  Search search(PARAMETERS, seen, seed);
  while (seen.size() < budget) {
    std::vector<std::optional<double>> objectives;
    for (std::vector<double>& values : search.ask(batch)) {
      std::optional<double> objective = bowl(values);
      if (values[0] > fails_beyond) objective.reset();
      objectives.push_back(objective);
      seen.push_back({std::move(values), objective});
    }
    search.tell(objectives);
  }
  return seen;
}

double best_of(const std::vector<Evaluated>& seen) {
  double best = INFINITY;
  for (const Evaluated& point : seen)
    if (point.objective) best = std::min(best, *point.objective);
  return best;
}

TEST(SearchTest, FindsTheFloorOfASmoothBowlWithinABudgetOf60) {
  for (const std::size_t batch : {1, 2}) {
    const std::vector<Evaluated> seen = run(1, batch, 60);
    EXPECT_LT(best_of(seen), 1e-3) << "batch " << batch;  // the start's objective is 0.57
  }
}

TEST(SearchTest, KeepsEveryCandidateWithinTheBounds) {
  for (const Evaluated& point : run(2, 3, 45)) {
    EXPECT_GE(point.values[0], -10);
    EXPECT_LE(point.values[0], 10);
    EXPECT_GE(point.values[1], 1);
    EXPECT_LE(point.values[1], 1e4);
  }
}

TEST(SearchTest, TheSameSeedAndObjectivesGiveTheSameCandidatesAndAnotherSeedOthers) {
  const std::vector<Evaluated> first = run(7, 2, 30, 5.0), again = run(7, 2, 30, 5.0),
                               other = run(8, 2, 30, 5.0);
  ASSERT_EQ(first.size(), again.size());
  bool differs = false;
  for (std::size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(first[i].values, again[i].values) << i;
    differs = differs || first[i].values != other[i].values;
  }
  EXPECT_TRUE(differs);
}

TEST(SearchTest, ARegionOfFailedCandidatesLeavesTheSearchGoingTheRightWay) {
  const std::vector<Evaluated> seen = run(1, 1, 60, 4.0);
  EXPECT_LT(best_of(seen), 1e-2);
  EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](const Evaluated& point) { return !point.objective; }));
}

TEST(SearchTest, RefusesToldObjectivesThatDoNotMatchTheCandidates) {
  Search search(PARAMETERS, {{{0.0, 100.0}, 1.0}}, 1);
  search.ask(2);
  EXPECT_THROW(search.tell({1.0}), std::logic_error);
}

}  // namespace
}  // namespace nalto::calibrate
