#include "nalto/mapping/slots.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "nalto/support/errors.hpp"
#include "support/sensor_runtime.hpp"

namespace nalto {
namespace {

using testing::SensorRuntime;

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double Inf = std::numeric_limits<double>::infinity();

TEST(ReadSlotTest, SensedValuesReduceToAFiniteNumberOrAbsent) {
  struct Case {
    std::string name;
    Json sensed;
    std::optional<double> read;
  };
  const std::vector<Case> cases = {
      {"integer", 3, 3.0},
      {"one-element list", Json::array({3}), 3.0},
      {"one-element list of a float", Json::array({4.5}), 4.5},
      {"two-element list", Json::array({1, 2}), std::nullopt},
      {"true", true, 1.0},
      {"false", false, 0.0},
      {"text", "2.5", 2.5},
      {"text with spaces and separators", " \t1_000.5e-1\n", 100.05},
      {"text spelling infinity", "-Infinity", std::nullopt},
      {"text that is no number", "fast", std::nullopt},
      {"null", nullptr, std::nullopt},
      {"NaN", NaN, std::nullopt},
      {"infinity", Inf, std::nullopt},
      {"nested one-element list", Json::array({Json::array({3})}), std::nullopt},
      {"object", Json{{"a", 1}}, std::nullopt},
      {"empty list", Json::array(), std::nullopt},
  };
  SensorRuntime runtime;
  for (const auto& c : cases) {
    runtime.sense = [&](const Json&) { return c.sensed; };
    const std::optional<double> read = read_slot(Json::object(), "[0]");
    EXPECT_EQ(read.has_value(), c.read.has_value()) << c.name;
    if (read && c.read) {
      EXPECT_DOUBLE_EQ(*read, *c.read) << c.name;
    }
  }
}

TEST(ReadSlotTest, TheSensorIsMadeWithTheSlotNameAndItsMappingText) {
  SensorRuntime runtime;
  const Json obs = Json::parse(R"({"a": [1, 2.5], "b": {"c": "7"}})");
  EXPECT_EQ(read_slot(obs, "['a'][1]"), 2.5);
  EXPECT_EQ(read_slot(obs, "['b']['c']"), 7.0);
  EXPECT_EQ(read_slot(Json(4), ""), 4.0) << "the empty name reads the whole observation";
  EXPECT_EQ(read_slot(obs, "['a'][-1]"), 2.5);
  EXPECT_THAT(runtime.made[0], ::testing::Pair("['a'][1]", "lambda sensors: sensors['a'][1]"));
  EXPECT_THAT(runtime.made[2], ::testing::Pair("", "lambda sensors: sensors"));
}

TEST(ReadSlotTest, EveryFailureOfReadingIsAbsent) {
  SensorRuntime runtime;
  const Json obs = Json::parse(R"({"a": [1, 2]})");
  for (const char* name : {"['b']", "['a'][5]", "['a']['x']", "speed", "[x]", "[0 1]", "['a'] [0]"})
    EXPECT_EQ(read_slot(obs, std::string(name)), std::nullopt) << name;
  EXPECT_EQ(read_slot(obs, std::nullopt), std::nullopt) << "a mapping without a slot name";
  runtime.sense = [](const Json&) -> Json { throw std::runtime_error("sensor broke"); };
  EXPECT_EQ(read_slot(obs, "[0]"), std::nullopt);
}

TEST(ReadSlotTest, WithoutARuntimeItFails) {
  EXPECT_THROW(read_slot(Json(1), "[0]"), std::logic_error);
}

TEST(SetSlotTest, CastByTheOldValue) {
  struct Case {
    std::string slot;
    Json new_value;
    Json expected;
  };
  const std::vector<Case> cases = {
      {"['a'][1]", 2.5, Json::parse(R"({"a": [1, 2.5], "b": true})")},
      {"['a'][0]", 2.5, Json::parse(R"({"a": [2, 2.0], "b": true})")},
      {"['a'][0]", 3.5, Json::parse(R"({"a": [4, 2.0], "b": true})")},
      {"['a'][0]", -0.5, Json::parse(R"({"a": [0, 2.0], "b": true})")},
      {"['a'][0]", -2.5, Json::parse(R"({"a": [-2, 2.0], "b": true})")},
      {"['a'][0]", 7, Json::parse(R"({"a": [7, 2.0], "b": true})")},
      {"['a'][-1]", 9, Json::parse(R"({"a": [1, 9.0], "b": true})")},
      {"['b']", 1.0, Json::parse(R"({"a": [1, 2.0], "b": 1.0})")},
      {"['b']", 0, Json::parse(R"({"a": [1, 2.0], "b": 0.0})")},
      {" ['a'][1] ", 1, Json::parse(R"({"a": [1, 1.0], "b": true})")},
  };
  for (const auto& c : cases) {
    Json action = Json::parse(R"({"a": [1, 2.0], "b": true})");
    const Json returned = set_slot(action, c.slot, c.new_value);
    EXPECT_EQ(action.dump(), c.expected.dump()) << c.slot << " " << c.new_value;
    EXPECT_EQ(returned.dump(), c.expected.dump()) << "the same value is returned";
  }
}

TEST(SetSlotTest, FloatSlotsTakeNaNAndTextsThatSpellNumbers) {
  Json action = Json::array({1.5, "x", nullptr});
  set_slot(action, "[0]", NaN);
  EXPECT_TRUE(std::isnan(action[0].get<double>()));
  set_slot(action, "[1]", "2.5");
  set_slot(action, "[2]", true);
  EXPECT_EQ(action[1], 2.5);
  EXPECT_EQ(action[2], 1.0);
  EXPECT_TRUE(action[2].is_number_float());
}

TEST(SetSlotTest, TheEmptyNameCastsTheWholeValueWithoutChangingIt) {
  Json three = 3;
  EXPECT_EQ(set_slot(three, "", 3.7), Json(4));
  EXPECT_EQ(three, Json(3));
  Json mapping = Json{{"a", 1}};
  const Json cast = set_slot(mapping, "  ", 1.0);
  EXPECT_TRUE(cast.is_number_float());
  EXPECT_EQ(mapping, (Json{{"a", 1}}));
}

TEST(SetSlotTest, FailuresLeaveTheActionAsItWas) {
  struct Case {
    std::optional<std::string> slot;
    Json new_value;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"['c']", 1.0, "KeyError"},
      {"['a'][5]", 1.0, "IndexError"},
      {"['a'][-3]", 1.0, "IndexError"},
      {"['a']['x']", 1.0, "TypeError"},
      {"['a'][1.5]", 1.0, "TypeError"},
      {"['b'][0]", 1.0, "TypeError"},
      {"[0]", 1.0, "KeyError"},
      {"['a'][0]", NaN, "ValueError"},
      {"['a'][0]", Inf, "ValueError"},
      {"['a'][0]", "2", "TypeError"},
      {"['a'][1]", "fast", "ValueError"},
      {"['a'][1]", nullptr, "TypeError"},
      {"a[0]", 1.0, "PublishReportError"},
      {"[x]", 1.0, "LiteralError"},
      {std::nullopt, 1.0, "TypeError"},
  };
  for (const auto& c : cases) {
    Json action = Json::parse(R"({"a": [1, 2.0], "b": 3})");
    const std::string before = action.dump();
    try {
      set_slot(action, c.slot, c.new_value);
      ADD_FAILURE() << c.slot.value_or("<absent>") << " did not fail";
    } catch (const Error& e) {
      EXPECT_EQ(e.type_name(), c.error) << c.slot.value_or("<absent>") << ": " << e.what();
    }
    EXPECT_EQ(action.dump(), before) << c.slot.value_or("<absent>");
  }
}

TEST(SetSlotTest, RefusalNamesTheSlotUntrimmed) {
  Json action = Json::array({1});
  try {
    set_slot(action, " a[0]", 1.0);
    FAIL();
  } catch (const PublishReportError& e) {
    EXPECT_STREQ(e.what(), "Can't address the sim's slot ' a[0]'");
  }
}

TEST(ToFloatTest, TextsAsNumbers) {
  const std::vector<std::pair<std::string, double>> good = {
      {"1", 1},   {"-2.5", -2.5}, {"+.5", 0.5}, {"5.", 5},      {"1e3", 1000},  {"1E-2", 0.01},
      {" 7 ", 7}, {"1_0", 10},    {"inf", Inf}, {"-INF", -Inf}, {"1e999", Inf}, {"\u00a03\u2003", 3},
  };
  for (const auto& [text, value] : good) EXPECT_EQ(to_float(Json(text)), value) << text;
  EXPECT_TRUE(std::isnan(to_float(Json("nan"))));
  for (const char* bad :
       {"", " ", "1_", "_1", "1__0", "1.2.3", "e5", "1e", "0x10", "1,5", "--1", "infinit", "١"})
    EXPECT_THROW(to_float(Json(bad)), ValueError) << bad;
}

}  // namespace
}  // namespace nalto
