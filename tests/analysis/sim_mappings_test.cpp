#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "nalto/analysis/analysis.hpp"
#include "support/fake_runtime.hpp"
#include "support/fixtures.hpp"

namespace nalto {
namespace {

using testing::CapturedConsole;
using testing::CapturedLog;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using testing::FakeSimClient;
using testing::FakeSimRuntime;
using testing::Loop;
using ::testing::StartsWith;

const std::string PREFIX = "debug get_mappings() failed (";
const std::string SUFFIX = "); reading the spaces";

std::vector<std::string> keys_of(const Json& object) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : object.items()) keys.push_back(key);
  return keys;
}

Json answer(Json sensors, Json actions) {
  return Json{{"sensor_space", {{"mappings", std::move(sensors)}}},
              {"action_space", {{"mappings", std::move(actions)}}}};
}

// A sim whose spaces name its variables; get_mappings() answers as each test scripts.
struct Sim {
  FakeSimRuntime runtime;
  FakeSimClient& client = *runtime.client;
  Loop loop;
  CapturedLog log;
  CapturedConsole console;

  Sim() {
    client.on_sensor_space_info = [] { return testing::box_space({"temp", "hum"}); };
    client.on_action_space_info = [] { return testing::box_space({"power"}); };
  }

  Json run() { return loop.run(sim_mappings(client)); }

  // What the spaces give through the runtime's conversion.
  Json from_spaces() const {
    return Json{{"sensors", runtime.convert(testing::box_space({"temp", "hum"}))},
                {"actions", runtime.convert(testing::box_space({"power"}))}};
  }
};

TEST(SimMappingsTest, TakesGetMappingsAsItIsAndReadsNoSpace) {
  Sim sim;
  const Json sensors = Json::array(
      {{{"name", "[0]"}, {"name_mapped", "temp"}, {"unit", "C"}}, {{"name", "['a'][1]"}, {"extra", {1, 2}}}});
  const Json actions = Json::array({{{"name", "[0]"}, {"name_mapped", "power"}}});
  sim.client.on_get_mappings = [&] { return answer(sensors, actions); };

  const Json result = sim.run();

  EXPECT_EQ(result, (Json{{"sensors", sensors}, {"actions", actions}}));
  EXPECT_THAT(keys_of(result), ElementsAre("sensors", "actions"));
  EXPECT_THAT(sim.client.calls, ElementsAre("get_mappings"));
  EXPECT_TRUE(sim.runtime.converted.empty());
  EXPECT_TRUE(sim.log.records().empty());
}

TEST(SimMappingsTest, EmptyListsArePassedOn) {
  struct Case {
    std::string what;
    bool from_get_mappings;
  };
  for (const Case& c :
       {Case{"get_mappings() answers empty lists", true}, Case{"the spaces are empty", false}}) {
    Sim sim;
    if (c.from_get_mappings) {
      sim.client.on_get_mappings = [] { return answer(Json::array(), Json::array()); };
    } else {
      sim.runtime.convert = [](const Json&) { return Json::array(); };
    }
    const Json result = sim.run();
    EXPECT_EQ(result, (Json{{"sensors", Json::array()}, {"actions", Json::array()}})) << c.what;
    EXPECT_THAT(keys_of(result), ElementsAre("sensors", "actions")) << c.what;
    EXPECT_EQ(sim.client.count("sensor_space_info"), c.from_get_mappings ? 0u : 1u) << c.what;
  }
}

TEST(SimMappingsTest, AFailingGetMappingsIsLoggedWithItsTextAndTheSpacesAreRead) {
  struct Case {
    std::string what;
    std::function<Json()> get_mappings;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"the sim keeps no mappings", []() -> Json { throw SimCallError("UNIMPLEMENTED: no mappings"); },
       "UNIMPLEMENTED: no mappings"},
      {"a failure of ours", []() -> Json { throw KeyError("'sensor_space'"); }, "'sensor_space'"},
      {"a foreign failure", []() -> Json { throw std::runtime_error("socket closed"); }, "socket closed"},
  };
  for (const Case& c : cases) {
    Sim sim;
    sim.client.on_get_mappings = c.get_mappings;

    EXPECT_EQ(sim.run(), sim.from_spaces()) << c.what;
    EXPECT_THAT(sim.log.records(), ElementsAre(PREFIX + c.text + SUFFIX)) << c.what;
    EXPECT_EQ(sim.console.out(), "") << c.what;
    EXPECT_EQ(sim.console.err(), "") << c.what;
  }
}

TEST(SimMappingsTest, AnUnusableAnswerIsDroppedWholeAndBothListsComeFromTheSpaces) {
  const Json some = Json::array({{{"name", "[9]"}, {"name_mapped", "never"}}});
  const std::vector<std::pair<std::string, Json>> cases = {
      {"no action_space", Json{{"sensor_space", {{"mappings", some}}}}},
      {"no sensor_space", Json{{"action_space", {{"mappings", some}}}}},
      {"no mappings member", Json{{"sensor_space", {{"mappings", some}}}, {"action_space", Json::object()}}},
      {"sensor mappings a number", answer(5, some)},
      {"action mappings null", answer(some, nullptr)},
      {"action mappings a boolean", answer(some, true)},
      {"sensor_space a list", Json{{"sensor_space", some}, {"action_space", {{"mappings", some}}}}},
      {"the answer a list", Json::array({some, some})},
      {"the answer null", nullptr},
      {"the answer a text", "mappings"},
  };
  for (const auto& [what, unusable] : cases) {
    Sim sim;
    sim.client.on_get_mappings = [unusable] { return unusable; };

    const Json result = sim.run();

    EXPECT_EQ(result, sim.from_spaces()) << what;
    EXPECT_THAT(keys_of(result), ElementsAre("sensors", "actions")) << what;
    EXPECT_THAT(sim.client.calls, ElementsAre("get_mappings", "sensor_space_info", "action_space_info"))
        << what;
    EXPECT_THAT(sim.runtime.converted,
                ElementsAre(testing::box_space({"temp", "hum"}), testing::box_space({"power"})))
        << what << ": the sensor space is converted first";
    ASSERT_EQ(sim.log.records().size(), 1u) << what;
    EXPECT_THAT(sim.log.records()[0], StartsWith(PREFIX)) << what;
    EXPECT_THAT(sim.log.records()[0], EndsWith(SUFFIX)) << what;
    EXPECT_GT(sim.log.records()[0].size(), PREFIX.size() + SUFFIX.size()) << what << ": the failure's text";
    EXPECT_EQ(sim.console.out() + sim.console.err(), "") << what;
  }
}

TEST(SimMappingsTest, TheSensorSpaceIsReadAndConvertedBeforeTheActionSpace) {
  Sim sim;
  sim.runtime.convert = [&sim](const Json&) {
    return Json::array({{{"name", "[0]"}, {"converted_after", sim.client.calls.back()}}});
  };
  const Json result = sim.run();
  EXPECT_EQ(result["sensors"][0]["converted_after"], "sensor_space_info");
  EXPECT_EQ(result["actions"][0]["converted_after"], "action_space_info");
  EXPECT_THAT(*sim.runtime.journal,
              ElementsAre("client.get_mappings", "client.sensor_space_info", "client.action_space_info"));
}

TEST(SimMappingsTest, AFailureOfTheFallbackLeavesUnchanged) {
  struct Case {
    std::string what;
    std::function<void(Sim&)> script;
    std::size_t action_space_calls;
  };
  const std::vector<Case> cases = {
      {"the sensor space call",
       [](Sim& sim) {
         sim.client.on_sensor_space_info = []() -> Json { throw SimCallError("INTERNAL: s"); };
       },
       0},
      {"the action space call",
       [](Sim& sim) {
         sim.client.on_action_space_info = []() -> Json { throw SimCallError("INTERNAL: s"); };
       },
       1},
      {"the conversion",
       [](Sim& sim) { sim.runtime.convert = [](const Json&) -> Json { throw SimCallError("INTERNAL: s"); }; },
       0},
  };
  for (const Case& c : cases) {
    Sim sim;
    c.script(sim);
    try {
      sim.run();
      ADD_FAILURE() << c.what << ": no failure";
    } catch (const SimCallError& e) {
      EXPECT_STREQ(e.what(), "INTERNAL: s") << c.what;
    }
    EXPECT_EQ(sim.client.count("action_space_info"), c.action_space_calls) << c.what;
    EXPECT_EQ(sim.client.count("get_mappings"), 1u) << c.what << ": no second try";
  }
}

TEST(SimMappingsTest, ACancellationDuringGetMappingsIsNoFailureToFallBackFrom) {
  Sim sim;
  sim.client.hang_on = "get_mappings";
  sim.client.on_hang = [&] { sim.loop.cancel_soon(); };
  try {
    sim.run();
    FAIL() << "the cancellation was swallowed";
  } catch (...) {
    EXPECT_TRUE(is_cancellation(std::current_exception()));
  }
  EXPECT_THAT(sim.client.calls, ElementsAre("get_mappings"));
  EXPECT_THAT(sim.client.cancelled, ElementsAre("get_mappings"));
  EXPECT_TRUE(sim.log.records().empty());
}

TEST(SimMappingsTest, WithoutARuntimeNoSimCallIsMade) {
  FakeSimClient client;
  Loop loop;
  EXPECT_ANY_THROW(loop.run(sim_mappings(client)));
  EXPECT_TRUE(client.calls.empty());
}

}  // namespace
}  // namespace nalto
