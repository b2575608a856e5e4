#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "nalto/analysis/analysis.hpp"
#include "nalto/mapping/plan.hpp"
#include "nalto/outside/sim_runtime.hpp"
#include "nalto/support/json.hpp"

namespace nalto::detail {

// One episode's predictions without a JSON tree: per distinct sensor column, in the order of first
// appearance, one value per recorded row and pair. NaN stands for null: a reading is never NaN.
struct Predictions {
  std::vector<std::string> columns;
  std::vector<std::vector<double>> values;
};

// The call into the sim being made, kept up to date by the replay for the evidence of a failure.
struct ReplayPosition {
  std::string call;
  Json episode;
  std::optional<std::int64_t> row;
};

// The sim's mappings as sim_mappings reads them, each call bounded by `call_timeout_s`: a get_mappings()
// that passes it is one more failure of get_mappings(). `position` (optional) hears each call made.
asio::awaitable<Json> sim_mappings(outside::SimClient& client, double call_timeout_s,
                                   ReplayPosition* position = nullptr);

// `stepped` (optional) hears of every row recorded, the reset's included.
asio::awaitable<Predictions> rollout_predictions(outside::SimClient& client, const Plan& plan, Json episode,
                                                 double call_timeout_s, ReplayPosition* position = nullptr,
                                                 std::function<void()> stepped = {});

// An episode record's 'n_rows'; an integer beyond the int64 range counts as INT64_MAX.
std::int64_t row_count(const Json& episode);

Json to_json(const Predictions& predictions);

struct Rollout {
  Json episode;
  Predictions predictions;
};

// The analysis request's body, written while it is sent: the predictions never become a JSON tree
// nor the body a whole text, and each episode's predictions are released once written.
class AnalysisBody {
 public:
  AnalysisBody(const Json& dataset, const ScoringRequest& request, const Plan& plan,
               std::vector<Rollout> rollouts);

  // Fills `out` with up to `capacity` of the next bytes and answers how many; 0 once all are given.
  std::size_t read(char* out, std::size_t capacity);

 private:
  enum class Stage { episode, column, values, done };

  // Appends the next piece to `pending_`; false at the end.
  bool write_more();

  std::vector<Rollout> rollouts_;
  std::string pending_;    // from the head of the body on
  std::size_t given_ = 0;  // of pending_
  Stage stage_ = Stage::episode;
  std::size_t episode_ = 0, column_ = 0, value_ = 0;
};

// Appends a number as JSON (shortest form; ".0" keeps an integral value a floating-point number), or
// null for NaN.
void append_json_number(std::string& out, double value);

}  // namespace nalto::detail
