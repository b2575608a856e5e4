#include "nalto/calibrate/search.hpp"

#include <dlib/global_optimization.h>

#include <algorithm>
#include <ctime>
#include <stdexcept>

namespace nalto::calibrate {

// dlib's global_function_search: a Lipschitz upper bound explored globally, alternated with a
// trust-region quadratic refined around the best point; several requests at once are one local and
// the rest global steps. It maximises, so it is told the negated objective.
struct Search::State {
  std::vector<Parameter> parameters;
  dlib::global_function_search search;
  std::vector<dlib::function_evaluation_request> pending;
  double worst = 0;  // the largest objective known
};

namespace {

// Each parameter's search range mapped onto [0, 1]: dlib's Lipschitz model takes one constant for all
// directions, so ranges of unlike sizes would make it explore the widest one almost alone.
double unit_of(const Parameter& parameter, double value) {
  const double low = to_search(parameter, parameter.low), high = to_search(parameter, parameter.high);
  return (to_search(parameter, value) - low) / (high - low);
}

double value_of(const Parameter& parameter, double unit) {
  const double low = to_search(parameter, parameter.low), high = to_search(parameter, parameter.high);
  return from_search(parameter, low + unit * (high - low));
}

dlib::matrix<double, 0, 1> search_point(const std::vector<Parameter>& parameters,
                                        const std::vector<double>& values) {
  dlib::matrix<double, 0, 1> x(static_cast<long>(parameters.size()));
  for (std::size_t i = 0; i < parameters.size(); ++i)
    x(static_cast<long>(i)) = unit_of(parameters[i], values[i]);
  return x;
}

dlib::function_spec spec_of(const std::vector<Parameter>& parameters) {
  const long n = static_cast<long>(parameters.size());
  return dlib::function_spec(dlib::zeros_matrix<double>(n, 1), dlib::ones_matrix<double>(n, 1));
}

double worst_of(const std::vector<Evaluated>& known) {
  double worst = 0;
  for (const Evaluated& point : known)
    if (point.objective) worst = std::max(worst, *point.objective);
  return worst;
}

dlib::global_function_search make_search(const std::vector<Parameter>& parameters,
                                         const std::vector<Evaluated>& known, double worst) {
  std::vector<dlib::function_evaluation> evaluations;
  for (const Evaluated& point : known)
    evaluations.emplace_back(search_point(parameters, point.values), -point.objective.value_or(worst));
  return dlib::global_function_search({spec_of(parameters)}, {evaluations});
}

}  // namespace

Search::Search(std::vector<Parameter> parameters, const std::vector<Evaluated>& known, std::uint64_t seed)
    : state_(std::make_unique<State>(State{.parameters = parameters,
                                           .search = make_search(parameters, known, worst_of(known)),
                                           .pending = {},
                                           .worst = worst_of(known)})) {
  state_->search.set_seed(static_cast<std::time_t>(seed));
}

Search::~Search() = default;
Search::Search(Search&&) noexcept = default;
Search& Search::operator=(Search&&) noexcept = default;

std::vector<std::vector<double>> Search::ask(std::size_t n) {
  if (!state_->pending.empty()) throw std::logic_error("the candidates asked before are not told yet");
  std::vector<std::vector<double>> candidates;
  for (std::size_t k = 0; k < n; ++k) {
    dlib::function_evaluation_request request = state_->search.get_next_x();
    std::vector<double> values;
    for (std::size_t i = 0; i < state_->parameters.size(); ++i)
      values.push_back(value_of(state_->parameters[i], request.x()(static_cast<long>(i))));
    candidates.push_back(std::move(values));
    state_->pending.push_back(std::move(request));
  }
  return candidates;
}

void Search::tell(const std::vector<std::optional<double>>& objectives) {
  if (objectives.size() != state_->pending.size())
    throw std::logic_error("told " + std::to_string(objectives.size()) + " objectives for " +
                           std::to_string(state_->pending.size()) + " candidates");
  for (const std::optional<double>& objective : objectives)
    if (objective) state_->worst = std::max(state_->worst, *objective);
  for (std::size_t k = 0; k < objectives.size(); ++k)
    state_->pending[k].set(-objectives[k].value_or(state_->worst));
  state_->pending.clear();
}

}  // namespace nalto::calibrate
