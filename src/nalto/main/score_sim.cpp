#include "nalto/main/score_sim.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "nalto/console/console.hpp"
#include "nalto/main/answer.hpp"
#include "nalto/outside/compute_node.hpp"
#include "nalto/support/errors.hpp"

namespace nalto {

namespace {

// Worst episodes named after the score line.
constexpr std::size_t WORST_SHOWN = 3;

double sort_score(const Json& episode) {
  const Json* score = member_at(episode, {"score_percent"});
  return score && score->is_number() ? score->get<double>() : std::numeric_limits<double>::infinity();
}

void print_worst_episodes(const Json& result) {
  const std::vector<Json> episodes = episodes_worst_first(result);
  if (episodes.size() < 2) return;
  std::string line;
  for (std::size_t i = 0; i < episodes.size() && i < WORST_SHOWN; ++i) {
    const Json* score = member_at(episodes[i], {"score_percent"});
    if (!score || !score->is_number()) break;
    if (!line.empty()) line += ", ";
    line += plain_text(subscript(episodes[i], "episode")) + " (" + plain_text(*score) + ")";
  }
  if (!line.empty()) console().print("Worst episodes: " + markup_literal(line));
}

}  // namespace

std::vector<Json> episodes_worst_first(const Json& result) {
  std::vector<Json> episodes;
  const Json* listed = member_at(result, {"diagnostics", "episode_scores"});
  if (listed && listed->is_array()) episodes.assign(listed->begin(), listed->end());
  std::stable_sort(episodes.begin(), episodes.end(),
                   [](const Json& a, const Json& b) { return sort_score(a) < sort_score(b); });
  return episodes;
}

asio::awaitable<Json> score_sim(std::string path, std::string dataset_ref, ScoreOptions options) {
  const Json dataset = co_await outside::resolve_node_dataset(std::move(dataset_ref));
  ScoringRequest request = claim_free_scoring(options.max_lag_steps, options.search_lag_rows);
  if (options.evidence_page) request.options.emplace_back("evidence_page", Json{{"sim", path}});
  Json result = co_await replay_and_score(std::move(path), dataset, std::move(request), options.max_episodes,
                                          std::move(options.env_init), options.call_timeout_s,
                                          std::move(options.hooks), options.jobs);
  if (options.analyzed) options.analyzed(result);

  std::vector<std::string> warnings = warnings_of(result);
  print_warnings(warnings);
  print_warnings(hints_of(result));
  const Json& evaluation = evaluation_of(result);
  if (!evaluation.is_object())
    throw PublishReportError(nothing_scored_reason(warnings, "The compute node scored nothing"));
  print_score_line(episodes_of(result), member_at(evaluation, {"score_percent"}));
  print_worst_episodes(result);
  if (const std::optional<EvidencePage> page = evidence_page_of(result)) print_evidence_page(*page);
  co_return result;
}

}  // namespace nalto
