#include "nalto/analysis/analysis.hpp"
#include "nalto/outside/logging.hpp"
#include "nalto/support/async.hpp"
#include "nalto/support/errors.hpp"

namespace nalto {

namespace {

Json list_of(const Json& sequence) {
  if (!sequence.is_array()) throw TypeError("expected a list of mappings, got " + kind_name(sequence));
  return sequence;
}

asio::awaitable<Json> own_mappings(outside::SimClient& client) {
  const Json answer = co_await client.get_mappings();
  Json sensors = list_of(subscript(subscript(answer, "sensor_space"), "mappings"));
  Json actions = list_of(subscript(subscript(answer, "action_space"), "mappings"));
  co_return Json{{"sensors", std::move(sensors)}, {"actions", std::move(actions)}};
}

}  // namespace

asio::awaitable<Json> sim_mappings(outside::SimClient& client) {
  outside::SimRuntime& runtime = outside::sim_runtime();
  Attempt<Json> own = co_await attempt(own_mappings(client));
  if (own.ok()) co_return std::move(own.value());
  outside::step_logger()->debug("get_mappings() failed ({}); reading the spaces", message_of(own.failure()));

  const Json sensor_space = co_await client.sensor_space_info();
  Json sensors = list_of(runtime.convert_space_to_json(sensor_space));
  const Json action_space = co_await client.action_space_info();
  Json actions = list_of(runtime.convert_space_to_json(action_space));
  co_return Json{{"sensors", std::move(sensors)}, {"actions", std::move(actions)}};
}

}  // namespace nalto
