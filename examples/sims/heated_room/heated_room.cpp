// The heated room as a sim: heater power and fan setting in, room, wall and heater temperatures out.
// Members of env_init named like the model's parameters replace their defaults; "step_cost_ms" makes
// every Step take that long, as a sim integrating a real model would.

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>

#include "room_model.hpp"
#include "sim_server.hpp"

namespace nalto::sims::heated_room {
namespace {

constexpr double COMFORT = 21.0;  // °C; the reward is the distance to it, negated
constexpr double LONGEST_STEP = 86400.0;
constexpr double LONGEST_STEP_COST_MS = 60000.0;
constexpr std::chrono::milliseconds SLICE{10};

const std::array<std::string, 3> SENSOR_NAMES = {"Room Temperature", "Wall Temperature",
                                                 "Heater Temperature"};
const std::string POWER_NAME = "Heater Power";
const std::string FAN_NAME = "Fan Setting";

Json observation(const State& s) {
  return Json::array({s.room, s.wall, s.heater});
}

Json step_answer(const State& s) {
  return Json::array({observation(s), -std::abs(s.room - COMFORT), false, false, Json::object()});
}

const Json& member(const Json& action, const char* key) {
  const auto found = action.find(key);
  if (found == action.end()) throw BadRequest(std::string("the action lacks '") + key + "'");
  return *found;
}

class HeatedRoom : public JsonSimulator {
 public:
  grpc::Status Step(grpc::ServerContext* context, const nalto::sim::v1::JsonValue* request,
                    nalto::sim::v1::JsonValue* answer) override {
    // The cost is spent in slices, so that a stop (which cancels the call in flight) ends the wait.
    const auto end = std::chrono::steady_clock::now() + std::chrono::nanoseconds(step_cost_ns_.load());
    for (auto now = std::chrono::steady_clock::now(); now < end; now = std::chrono::steady_clock::now()) {
      if (context->IsCancelled()) return grpc::Status::CANCELLED;
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(end - now, SLICE));
    }
    if (!instant_) return JsonSimulator::Step(context, request, answer);
    answer->set_json(prepared_);
    return grpc::Status::OK;
  }

 protected:
  void make(const Json& env_init) override {
    Parameters chosen;
    for (const auto& [name, field] : PARAMETER_FIELDS) {
      const auto found = env_init.find(name);
      if (found != env_init.end())
        chosen.*field = number(*found, "env_init member '" + std::string(name) + "'");
    }
    if (!(chosen.room_capacity > 0 && chosen.wall_capacity > 0 && chosen.heater_capacity > 0))
      throw BadRequest("the heat capacities must be positive");
    if (!(chosen.time_step > 0 && chosen.time_step <= LONGEST_STEP))
      throw BadRequest("time_step must be more than 0 and at most 86400 seconds");
    double cost_ms = 0;
    if (const auto found = env_init.find("step_cost_ms"); found != env_init.end())
      cost_ms = number(*found, "env_init member 'step_cost_ms'");
    if (!(cost_ms >= 0 && cost_ms <= LONGEST_STEP_COST_MS))
      throw BadRequest("step_cost_ms must be from 0 to 60000 milliseconds");
    parameters_ = chosen;
    state_ = State{};
    step_cost_ns_ = std::llround(cost_ms * 1e6);
  }

  std::optional<Json> mappings() const override {
    Json sensors = Json::array();
    for (std::size_t i = 0; i < SENSOR_NAMES.size(); ++i)
      sensors.push_back({{"name", "[" + std::to_string(i) + "]"}, {"name_mapped", SENSOR_NAMES[i]}});
    Json actions = Json::array({Json{{"name", "['heater_power'][0]"}, {"name_mapped", POWER_NAME}},
                                Json{{"name", "['fan']"}, {"name_mapped", FAN_NAME}}});
    return Json{{"sensor_space", {{"mappings", sensors}}}, {"action_space", {{"mappings", actions}}}};
  }

  Json sensor_space() const override {
    return {{"type", "box"},  {"shape", {3}},       {"low", -273.15},
            {"high", 1000.0}, {"dtype", "float64"}, {"names", SENSOR_NAMES}};
  }

  Json action_space() const override {
    const Json power = {{"type", "box"},      {"shape", {1}},
                        {"low", 0.0},         {"high", MAX_HEATER_POWER},
                        {"dtype", "float64"}, {"names", {POWER_NAME}}};
    const Json fan = {{"type", "discrete"}, {"n", FAN_SETTINGS}, {"name", FAN_NAME}};
    return {{"type", "dict"}, {"spaces", {{"heater_power", power}, {"fan", fan}}}};
  }

  Json reset() override {
    state_ = State{};
    return Json::array({observation(state_), Json::object()});
  }

  Json step(const Json& action) override {
    if (!action.is_object())
      throw BadRequest(R"(the action must be an object {"heater_power": [watts], "fan": 0|1|2}, not )" +
                       action.dump());
    for (const auto& [key, value] : action.items())
      if (key != "heater_power" && key != "fan")
        throw BadRequest("the action has an unknown member '" + key + "'");
    const Json& power = member(action, "heater_power");
    if (!power.is_array() || power.size() != 1)
      throw BadRequest("'heater_power' must be a list of one number, not " + power.dump());
    const Json& fan = member(action, "fan");
    if (!fan.is_number_integer() || fan.get<std::int64_t>() < 0 || fan.get<std::int64_t>() >= FAN_SETTINGS)
      throw BadRequest("'fan' must be 0, 1 or 2, not " + fan.dump());
    const double watts = std::clamp(number(power[0], "'heater_power'[0]"), 0.0, MAX_HEATER_POWER);
    state_ = advance(parameters_, state_, watts, fan.get<int>());
    return step_answer(state_);
  }

 private:
  Parameters parameters_;
  State state_;
  // Read by Step before the simulator's lock, which the instant answer never takes.
  std::atomic<long long> step_cost_ns_{0};
  // For measuring the tool's own cost per call: every Step gets the same valid answer at once.
  const bool instant_ = env_flag("HEATED_ROOM_INSTANT");
  const std::string prepared_ = step_answer(State{}).dump();
};

}  // namespace
}  // namespace nalto::sims::heated_room

int main(int argc, char** argv) {
  nalto::sims::heated_room::HeatedRoom sim;
  return nalto::sims::serve(argc, argv, sim, {.label = "heated room"});
}
