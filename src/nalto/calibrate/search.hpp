#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "nalto/calibrate/parameters.hpp"

namespace nalto::calibrate {

// One evaluated point: the parameters' values and the objective there, or none when it failed.
struct Evaluated {
  std::vector<double> values;
  std::optional<double> objective;
};

// The optimiser, asked for candidates and told their objectives (lower is better). It proposes several
// at once for evaluations side by side, and under one seed answers the same candidates to the same
// objectives told in the same order. Each point stays within the parameters' bounds.
class Search {
 public:
  // `known`: the points evaluated before the search (the start among them), in the order evaluated.
  Search(std::vector<Parameter> parameters, const std::vector<Evaluated>& known, std::uint64_t seed);
  ~Search();
  Search(Search&&) noexcept;
  Search& operator=(Search&&) noexcept;

  // The next `n` candidates, to be told in the same order.
  std::vector<std::vector<double>> ask(std::size_t n);
  // The objectives of the candidates last asked, in their order; a failed one counts as the worst
  // objective known, so that the search turns away from it without a cliff in its model.
  void tell(const std::vector<std::optional<double>>& objectives);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace nalto::calibrate
