#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

#include "nalto/analysis/analysis.hpp"
#include "nalto/analysis/internal.hpp"
#include "nalto/mapping/slots.hpp"
#include "nalto/support/async.hpp"

namespace nalto {

namespace detail {

namespace {

constexpr double NONE = std::numeric_limits<double>::quiet_NaN();

const Json& answer_items(const Json& answer, std::size_t count, std::string_view call) {
  if (!answer.is_array() || answer.size() != count)
    throw ValueError(
        "the sim's " + std::string(call) + " answered " +
        (answer.is_array() ? std::to_string(answer.size()) + " items" : "a " + kind_name(answer)) + ", not " +
        std::to_string(count));
  return answer;
}

// Where each sensor pair's readings go, and the recording of one observation.
class Recorder {
 public:
  explicit Recorder(const Plan& plan) : plan_(plan) {
    for (const auto& [slot, column] : plan.sensors) {
      std::size_t at = 0;
      while (at < predictions_.columns.size() && predictions_.columns[at] != column) ++at;
      if (at == predictions_.columns.size()) {
        predictions_.columns.push_back(column);
        predictions_.values.emplace_back();
      }
      target_.push_back(at);
    }
  }

  // Whether every sensor could be read.
  bool record(outside::SimRuntime& runtime, const Json& obs) {
    // The observation is converted once for all sensors; the conversion has no effects.
    const Json seen = runtime.as_compute_sees(obs);
    bool all_read = true;
    for (std::size_t i = 0; i < plan_.sensors.size(); ++i) {
      const std::optional<double> value = read_slot(seen, plan_.sensors[i].first);
      predictions_.values[target_[i]].push_back(value.value_or(NONE));
      all_read = all_read && value.has_value();
    }
    return all_read;
  }

  // Without the spare room of their growth: the predictions of every episode are held until sent.
  Predictions take() {
    for (std::vector<double>& column : predictions_.values) column.shrink_to_fit();
    return std::move(predictions_);
  }

 private:
  const Plan& plan_;
  std::vector<std::size_t> target_;
  Predictions predictions_;
};

// The recorded values of the planned action columns, looked up once, on the first row that needs them.
class RecordedActions {
 public:
  RecordedActions(const Json& episode, const Plan& plan) : episode_(episode), plan_(plan) {}

  const Json& value(std::size_t action, std::int64_t row) {
    if (columns_.empty()) {
      const Json& actions = subscript(episode_, "actions");
      for (const auto& [slot, column] : plan_.actions) columns_.push_back(&subscript(actions, column));
    }
    return subscript(*columns_[action], row);
  }

 private:
  const Json& episode_;
  const Plan& plan_;
  std::vector<const Json*> columns_;
};

}  // namespace

std::int64_t row_count(const Json& episode) {
  const Json& n_rows = subscript(episode, "n_rows");
  if (!n_rows.is_number_integer())
    throw TypeError("expected the episode's 'n_rows' to be an integer, got " + kind_name(n_rows));
  return n_rows.is_number_unsigned() && n_rows.get<std::uint64_t>() > std::uint64_t(INT64_MAX)
             ? INT64_MAX
             : n_rows.get<std::int64_t>();
}

namespace {

// The replay's calls, each under `call`'s limit.
asio::awaitable<Predictions> replay_calls(outside::SimClient& client, const Plan& plan, const Json& episode,
                                          CallLimit& call, ReplayPosition& at,
                                          const std::function<void()>& stepped) {
  outside::SimRuntime& runtime = outside::sim_runtime();
  const Json* number = lookup(episode, "episode");
  at = {.call = "ActionSpaceInfo", .episode = number ? *number : Json(), .row = std::nullopt};

  const Json info = co_await call(client.action_space_info());
  const Json template_action = runtime.as_compute_sees(runtime._to_compute_space(info)->sample());

  Recorder recorder(plan);
  at.call = "Reset";
  at.row = 0;
  const Json reset = co_await call(client.reset());
  recorder.record(runtime, answer_items(reset, 2, "reset")[0]);  // row 0 is kept however it reads
  stepped();

  Json action = runtime.as_compute_sees(template_action);
  RecordedActions recorded(episode, plan);
  const std::int64_t n_rows = row_count(episode);
  for (std::int64_t row = 1; row < n_rows; ++row) {
    for (std::size_t i = 0; i < plan.actions.size(); ++i) {
      const Json& value = recorded.value(i, row);
      // A missing value keeps the slot's last value, or the template's.
      if (!value.is_null()) set_slot(action, plan.actions[i].first, value);
    }
    Json sent = runtime.as_compute_sees(action);
    at.call = "Step";
    at.row = row;
    const Json answer = co_await call(client.step(std::move(sent)));
    const Json& items = answer_items(answer, 5, "step");
    const bool all_read = recorder.record(runtime, items[0]);
    stepped();
    if (!all_read) break;
    if (truthy(items[2]) || truthy(items[3])) break;
  }
  co_return recorder.take();
}

}  // namespace

asio::awaitable<Predictions> rollout_predictions(outside::SimClient& client, const Plan& plan, Json episode,
                                                 double call_timeout_s, ReplayPosition* position,
                                                 std::function<void()> stepped) {
  ReplayPosition untracked;
  ReplayPosition& at = position ? *position : untracked;
  if (!stepped) stepped = [] {};
  auto calls = [&](CallLimit& call) { return replay_calls(client, plan, episode, call, at, stepped); };
  co_return co_await with_call_limit<Predictions>(call_timeout_s, std::move(calls));
}

void append_json_number(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "null";
    return;
  }
  char buf[32];
  const auto end = std::to_chars(buf, buf + sizeof buf, value).ptr;
  const std::string_view text(buf, static_cast<std::size_t>(end - buf));
  out += text;
  if (text.find_first_of(".e") == std::string_view::npos) out += ".0";
}

Json to_json(const Predictions& predictions) {
  Json out = Json::object();
  for (std::size_t i = 0; i < predictions.columns.size(); ++i) {
    Json values = Json::array();
    for (const double value : predictions.values[i])
      values.push_back(std::isnan(value) ? Json() : Json(value));
    out[predictions.columns[i]] = std::move(values);
  }
  return out;
}

}  // namespace detail

asio::awaitable<Json> rollout_episode(outside::SimClient& client, const Plan& plan, Json episode,
                                      double call_timeout_s) {
  const detail::Predictions predictions =
      co_await detail::rollout_predictions(client, plan, std::move(episode), call_timeout_s);
  co_return detail::to_json(predictions);
}

}  // namespace nalto
