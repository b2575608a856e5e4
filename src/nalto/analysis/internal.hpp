#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

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

// The analysis request's body, written directly: the predictions never become a JSON tree, and each
// episode's are released once written, so the peak stays near the body's own size.
std::string analysis_body(const Json& dataset, const Json& claim, const std::string& bundle_sha256,
                          const Plan& plan, std::vector<Rollout> rollouts);

// Appends a number as JSON (shortest form; ".0" keeps an integral value a floating-point number), or
// null for NaN.
void append_json_number(std::string& out, double value);

}  // namespace nalto::detail
