// A caller of the step includes one header: every declaration it relies on must come through it, with
// the shape it relies on. Nothing else of the project is included here on purpose.

#include <gtest/gtest.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "nalto/nalto.hpp"

namespace nalto {
namespace {

// Converting a function's address to a pointer of exactly `Signature` fails to compile on any
// difference in parameter or return types. The pointer itself is not read: under the sanitizers an
// address is no constant expression.
template <class Signature>
constexpr bool declared_as(Signature*) {
  return true;
}
template <class Class, class Signature>
constexpr bool member_declared_as(Signature Class::*) {
  return true;
}

using outside::PlatformApi;
using outside::SimClient;
using std::int64_t;
using std::string;

static_assert(std::is_same_v<Json, nlohmann::ordered_json>);

static_assert(std::is_same_v<decltype(REPORT_TIMEOUT_S), const double> && REPORT_TIMEOUT_S == 120);
static_assert(std::is_same_v<decltype(REPORT_POLL_S), const double> && REPORT_POLL_S == 5);
static_assert(std::is_same_v<decltype(DEFAULT_MAX_EPISODES), const int> && DEFAULT_MAX_EPISODES == 20);

constexpr Timing default_timing{};
static_assert(default_timing.report_timeout_s == REPORT_TIMEOUT_S &&
              default_timing.report_poll_s == REPORT_POLL_S);
static_assert(default_timing.columns_request_s == 120 && default_timing.analysis_request_s == 600);
static_assert(default_timing.serving_s == 60 && default_timing.exit_wait_s == 10);
static_assert(declared_as<const Timing&()>(&timing));
static_assert(std::is_constructible_v<ScopedTiming, Timing> && !std::is_convertible_v<Timing, ScopedTiming>);

// Failures
static_assert(std::is_base_of_v<std::runtime_error, Error> && std::is_abstract_v<Error>);
static_assert(member_declared_as<Error, std::string_view() const noexcept>(&Error::type_name));
static_assert(declared_as<string(const std::exception&)>(&type_name_of));
static_assert(declared_as<bool(const std::exception_ptr&)>(&is_cancellation));
static_assert(std::is_base_of_v<Error, HTTPStatusError> &&
              std::is_constructible_v<HTTPStatusError, int, string>);
static_assert(member_declared_as<HTTPStatusError, int() const noexcept>(&HTTPStatusError::status));
static_assert(std::is_base_of_v<Error, PublishReportError>);
static_assert(std::is_constructible_v<PublishReportError, string, std::exception_ptr>);
static_assert(!std::is_convertible_v<string, PublishReportError>, "explicit");
static_assert(member_declared_as<PublishReportError, const std::exception_ptr&() const noexcept>(
    &PublishReportError::cause));
static_assert(std::is_base_of_v<Error, outside::APIStatusError> &&
              std::is_constructible_v<outside::APIStatusError, int, string>);
static_assert(
    member_declared_as<outside::APIStatusError, int() const noexcept>(&outside::APIStatusError::status));
static_assert(member_declared_as<outside::APIStatusError, const string&() const noexcept>(
    &outside::APIStatusError::detail));

// main/
static_assert(std::is_same_v<decltype(PublishOptions::project_id), std::optional<string>>);
static_assert(std::is_same_v<decltype(PublishOptions::max_episodes), int>);
static_assert(std::is_same_v<decltype(PublishOptions::env_init), std::optional<Json>>);
static_assert(std::is_same_v<decltype(PublishOptions::call_timeout_s), double>);
static_assert(declared_as<asio::awaitable<void>(PlatformApi&, string, string, string, string, string, string,
                                                string, PublishOptions)>(&publish_report));
static_assert(
    declared_as<asio::awaitable<void>(PlatformApi&, string, string, string, string, string)>(&_close_claim));
static_assert(
    declared_as<asio::awaitable<Json>(PlatformApi&, string, string, string, string)>(&wait_for_reports));
static_assert(declared_as<void(const Json&, std::string_view)>(&render_reports));
static_assert(declared_as<string(const string&)>(&sha256_file));

// analysis/
static_assert(declared_as<std::vector<int64_t>(int64_t, int64_t)>(&pick_episodes));
static_assert(declared_as<asio::awaitable<Json>(SimClient&)>(&sim_mappings));
static_assert(declared_as<asio::awaitable<Json>(SimClient&, const Plan&, Json, double)>(&rollout_episode));
// The hooks and the number of sims are trailing parameters with defaults: every call of the seven
// arguments stands.
static_assert(declared_as<asio::awaitable<Json>(string, Json, Json, string, int64_t, Json, double,
                                                AnalysisHooks, std::size_t)>(&analyze));

// mapping/
static_assert(declared_as<string(std::string_view)>(&normalized));
static_assert(declared_as<std::vector<Json>(std::string_view)>(&_path));
static_assert(declared_as<std::optional<double>(const Json&, const std::optional<string>&)>(&read_slot));
static_assert(declared_as<Json(Json&, const std::optional<string>&, const Json&)>(&set_slot));
static_assert(declared_as<std::optional<string>(const Json&, std::string_view)>(&_field));
static_assert(declared_as<std::vector<string>(const Json&)>(&mapping_names));
static_assert(std::is_same_v<SlotColumn, std::pair<std::optional<string>, string>>);
static_assert(std::is_same_v<decltype(Plan::sensors), const std::vector<SlotColumn>>);
static_assert(std::is_same_v<decltype(Plan::actions), const std::vector<SlotColumn>>);
static_assert(std::is_same_v<decltype(Plan::core), const std::vector<string>>);
static_assert(declared_as<Plan(const Json&, const Json&)>(&plan_analysis));

// node/ and console/
static_assert(declared_as<Json(const string&, const Json&, double)>(&_node_post));
static_assert(declared_as<Console&()>(&console));

// outside/
static_assert(declared_as<string()>(&outside::compute_url));
static_assert(declared_as<std::vector<std::pair<string, string>>()>(&outside::_auth_headers));
static_assert(
    declared_as<asio::awaitable<Json>(PlatformApi&, string, string)>(&outside::resolve_local_dataset));
static_assert(declared_as<outside::SimRuntime&()>(&outside::sim_runtime));
static_assert(declared_as<std::shared_ptr<spdlog::logger>(const string&)>(&outside::get_logger));
static_assert(std::is_same_v<decltype(outside::ClientOptions::env_init), Json>);
static_assert(std::is_constructible_v<outside::ScopedSimRuntime, outside::SimRuntime&> &&
              !std::is_convertible_v<outside::SimRuntime&, outside::ScopedSimRuntime>);

// Implementations of every outside interface with exactly the members the design gives it: `override`
// pins each signature, and that they can be made shows that no other member must be implemented.
class Platform final : public outside::PlatformApi, public outside::ProjectSimsApi, public outside::SimsApi {
 public:
  outside::ProjectSimsApi& project_sims() override { return *this; }
  outside::SimsApi& sims() override { return *this; }
  asio::awaitable<Json> link(string, string, string) override { co_return Json::object(); }
  asio::awaitable<Json> publish_report_start(string, string, string, string) override {
    co_return Json::object();
  }
  asio::awaitable<Json> publish_report_submit(string, string, string, string, Json) override {
    co_return Json::object();
  }
  asio::awaitable<Json> publish_report_status(string, string, string, string) override {
    co_return Json::object();
  }
};

class Process final : public outside::SimProcess {
 public:
  std::optional<int> returncode() const override { return 0; }
  void terminate() override {}
  void kill() override {}
  asio::awaitable<int> wait() override { co_return 0; }
};

class Client final : public outside::SimClient {
 public:
  asio::awaitable<void> init() override { co_return; }
  asio::awaitable<void> make() override { co_return; }
  asio::awaitable<Json> get_mappings() override { co_return Json::object(); }
  asio::awaitable<Json> sensor_space_info() override { co_return Json::object(); }
  asio::awaitable<Json> action_space_info() override { co_return Json::object(); }
  asio::awaitable<Json> reset() override { co_return Json::array(); }
  asio::awaitable<Json> step(Json) override { co_return Json::array(); }
  asio::awaitable<void> close() override { co_return; }
};

class Space final : public outside::ComputeSpace {
 public:
  Json sample() override { return 0; }
};

// Senses the observation as it is.
class Identity final : public outside::Sensor {
 public:
  Json sense(const Json& obs) override { return obs; }
};

class Runtime final : public outside::SimRuntime {
 public:
  std::vector<std::pair<string, string>> sensors_made;

  int get_free_port() override { return 1; }
  asio::awaitable<std::unique_ptr<outside::SimProcess>> make_in_process(
      string, string, int, Json, std::function<void(string)>) override {
    co_return std::make_unique<Process>();
  }
  asio::awaitable<void> check_serving(string, double) override { co_return; }
  string _tail(string output) override { return output; }
  std::unique_ptr<outside::SimClient> client_make(outside::ClientOptions) override {
    return std::make_unique<Client>();
  }
  Json convert_space_to_json(const Json& space) override { return space; }
  std::unique_ptr<outside::ComputeSpace> _to_compute_space(const Json&) override {
    return std::make_unique<Space>();
  }
  Json as_compute_sees(const Json& value) override { return value; }
  std::unique_ptr<outside::Sensor> make_sensor(string name, string sensor_mapping) override {
    sensors_made.emplace_back(std::move(name), std::move(sensor_mapping));
    return std::make_unique<Identity>();
  }
};

TEST(UmbrellaHeader, EveryFailureKindAnswersItsOwnName) {
  const std::pair<std::shared_ptr<Error>, std::string_view> kinds[] = {
      {std::make_shared<TimeoutError>(""), "TimeoutError"},
      {std::make_shared<KeyError>("'k'"), "KeyError"},
      {std::make_shared<IndexError>("i"), "IndexError"},
      {std::make_shared<TypeError>("t"), "TypeError"},
      {std::make_shared<ValueError>("v"), "ValueError"},
      {std::make_shared<LiteralError>("l"), "LiteralError"},
      {std::make_shared<JSONDecodeError>("j"), "JSONDecodeError"},
      {std::make_shared<ConnectError>("c"), "ConnectError"},
      {std::make_shared<ReadTimeout>("r"), "ReadTimeout"},
      {std::make_shared<SimCallError>("s"), "SimCallError"},
      {std::make_shared<HTTPStatusError>(503, "h"), "HTTPStatusError"},
      {std::make_shared<PublishReportError>("p"), "PublishReportError"},
      {std::make_shared<outside::APIStatusError>(409, "a"), "APIStatusError"},
  };
  for (const auto& [error, name] : kinds) {
    EXPECT_EQ(error->type_name(), name);
    EXPECT_EQ(type_name_of(*error), name);
  }
  EXPECT_EQ(type_name_of(std::out_of_range("x")), "out_of_range");
}

TEST(UmbrellaHeader, FailuresCarryWhatTheyWereMadeWith) {
  EXPECT_EQ(HTTPStatusError(503, "busy").status(), 503);
  const outside::APIStatusError refusal(409, "already submitted");
  EXPECT_EQ(refusal.status(), 409);
  EXPECT_EQ(refusal.detail(), "already submitted");
  EXPECT_STREQ(refusal.what(), "already submitted");

  const std::exception_ptr cause = std::make_exception_ptr(TimeoutError(""));
  EXPECT_EQ(PublishReportError("why", cause).cause(), cause);
  EXPECT_EQ(PublishReportError("why").cause(), nullptr);

  EXPECT_TRUE(is_cancellation(std::make_exception_ptr(std::system_error(asio::error::operation_aborted))));
  EXPECT_FALSE(is_cancellation(cause));
}

TEST(UmbrellaHeader, OptionsTakeDesignatedInitializersOverTheirDefaults) {
  const PublishOptions defaults;
  EXPECT_EQ(defaults.project_id, std::nullopt);
  EXPECT_EQ(defaults.max_episodes, DEFAULT_MAX_EPISODES);
  EXPECT_EQ(defaults.env_init, std::nullopt);
  EXPECT_EQ(defaults.call_timeout_s, 300);
  const PublishOptions chosen{
      .project_id = "p1", .max_episodes = 5, .env_init = Json{{"seed", 7}}, .call_timeout_s = 2.5};
  EXPECT_EQ(chosen.project_id, "p1");
  EXPECT_EQ(chosen.max_episodes, 5);
  EXPECT_EQ(chosen.env_init, (Json{{"seed", 7}}));
  EXPECT_EQ(chosen.call_timeout_s, 2.5);

  const outside::ClientOptions client{.run_id = "r",
                                      .sim_id = "s",
                                      .env_id = "e",
                                      .address = "a:1",
                                      .env_init = Json::object(),
                                      .protocol = "grpc"};
  EXPECT_EQ(client.address, "a:1");
  EXPECT_EQ(client.protocol, "grpc");
}

TEST(UmbrellaHeader, ScopedTimingReplacesTheLimitsForItsScope) {
  {
    const ScopedTiming quick(Timing{.report_timeout_s = 0.2, .report_poll_s = 0.01});
    EXPECT_EQ(timing().report_timeout_s, 0.2);
    EXPECT_EQ(timing().report_poll_s, 0.01);
  }
  EXPECT_EQ(timing().report_timeout_s, REPORT_TIMEOUT_S);
  EXPECT_EQ(timing().report_poll_s, REPORT_POLL_S);
}

TEST(UmbrellaHeader, ScopedSimRuntimeInstallsAndRestores) {
  Runtime outer, inner;
  const outside::ScopedSimRuntime install_outer(outer);
  {
    const outside::ScopedSimRuntime install_inner(inner);
    EXPECT_EQ(&outside::sim_runtime(), &inner);
    EXPECT_EQ(read_slot(Json(2.5), "[0]"), 2.5);
    EXPECT_EQ(read_slot(Json(2.5), std::nullopt), std::nullopt);
  }
  EXPECT_EQ(&outside::sim_runtime(), &outer);
  EXPECT_EQ(inner.sensors_made,
            (std::vector<std::pair<string, string>>{{"[0]", "lambda sensors: sensors[0]"}}));
  EXPECT_TRUE(outer.sensors_made.empty());
}

TEST(UmbrellaHeader, MappingAndAnalysisHelpersWork) {
  EXPECT_EQ(normalized("  Room \t Temperature "), "room_temperature");
  EXPECT_EQ(_path("['a'][1]"), (std::vector<Json>{"a", 1}));
  EXPECT_THROW(_path("a"), PublishReportError);
  EXPECT_EQ(_field(Json{{"name", "speed"}}, "name"), "speed");
  EXPECT_EQ(_field(Json{{"name", ""}}, "name"), std::nullopt);
  EXPECT_EQ(mapping_names(Json{{"name", "[0]"}, {"name_mapped", "speed"}}),
            (std::vector<string>{"speed", "[0]"}));

  Json action = Json::array({1, 2.0});
  EXPECT_EQ(set_slot(action, "[0]", 2.5), Json::array({2, 2.0}));
  EXPECT_THROW(set_slot(action, std::nullopt, 1.0), TypeError);

  const Plan plan = plan_analysis(
      Json{{"sensors", {{{"name", "Speed"}}}}, {"actions", {{{"name", "[0]"}, {"name_mapped", "throttle"}}}}},
      Json{{"raw_names", {{"s", "SPEED"}, {"t", "Throttle"}}},
           {"sensor_variables", {"s"}},
           {"action_variables", {"t"}}});
  EXPECT_EQ(plan.sensors, (std::vector<SlotColumn>{{"Speed", "s"}}));
  EXPECT_EQ(plan.actions, (std::vector<SlotColumn>{{"[0]", "t"}}));
  EXPECT_EQ(plan.core, (std::vector<string>{"SPEED"}));

  EXPECT_EQ(pick_episodes(3, 20), (std::vector<int64_t>{0, 1, 2}));
  EXPECT_EQ(&console(), &console());
  EXPECT_EQ(outside::get_logger("nalto.umbrella_test")->name(), "nalto.umbrella_test");
}

}  // namespace
}  // namespace nalto
