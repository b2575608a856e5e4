#include "nalto/analysis/analysis.hpp"
#include "nalto/analysis/internal.hpp"
#include "nalto/outside/logging.hpp"
#include "nalto/support/async.hpp"
#include "nalto/support/errors.hpp"

namespace nalto {

namespace {

Json list_of(const Json& sequence) {
  if (!sequence.is_array()) throw TypeError("expected a list of mappings, got " + kind_name(sequence));
  return sequence;
}

// Awaits one call into the sim, within `limit` when there is one, and notes it in `position`.
template <class T>
asio::awaitable<T> call(asio::awaitable<T> op, const char* name, std::optional<double> limit,
                        detail::ReplayPosition* position) {
  if (position) position->call = name;
  if (!limit) co_return co_await std::move(op);
  co_return co_await with_timeout(std::move(op), *limit);
}

asio::awaitable<Json> own_mappings(outside::SimClient& client, std::optional<double> limit,
                                   detail::ReplayPosition* position) {
  const Json answer = co_await call(client.get_mappings(), "GetMappings", limit, position);
  Json sensors = list_of(subscript(subscript(answer, "sensor_space"), "mappings"));
  Json actions = list_of(subscript(subscript(answer, "action_space"), "mappings"));
  co_return Json{{"sensors", std::move(sensors)}, {"actions", std::move(actions)}};
}

// A time-out's own text is empty; the record names the limit instead.
std::string failure_text(const std::exception_ptr& failure, std::optional<double> limit) {
  if (limit && failure_is<TimeoutError>(failure))
    return "no answer within --call-timeout " + short_text(*limit) + " s";
  return message_of(failure);
}

asio::awaitable<Json> read_mappings(outside::SimClient& client, std::optional<double> limit,
                                    detail::ReplayPosition* position) {
  outside::SimRuntime& runtime = outside::sim_runtime();
  Attempt<Json> own = co_await attempt(own_mappings(client, limit, position));
  if (own.ok()) co_return std::move(own.value());
  outside::step_logger()->debug("get_mappings() failed ({}); reading the spaces",
                                failure_text(own.failure(), limit));

  const Json sensor_space = co_await call(client.sensor_space_info(), "SensorSpaceInfo", limit, position);
  Json sensors = list_of(runtime.convert_space_to_json(sensor_space));
  const Json action_space = co_await call(client.action_space_info(), "ActionSpaceInfo", limit, position);
  Json actions = list_of(runtime.convert_space_to_json(action_space));
  co_return Json{{"sensors", std::move(sensors)}, {"actions", std::move(actions)}};
}

}  // namespace

asio::awaitable<Json> sim_mappings(outside::SimClient& client) {
  co_return co_await read_mappings(client, std::nullopt, nullptr);
}

namespace detail {

asio::awaitable<Json> sim_mappings(outside::SimClient& client, double call_timeout_s,
                                   ReplayPosition* position) {
  co_return co_await read_mappings(client, call_timeout_s, position);
}

}  // namespace detail

}  // namespace nalto
