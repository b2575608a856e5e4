#include "nalto/mapping/plan.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "nalto/mapping/names.hpp"
#include "nalto/support/errors.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string ACTION_REFUSAL = "The dataset on this node has no action column for the sim's action";
const std::string ACTION_TAIL = "; every action is replayed from the dataset";
const std::string SENSOR_REFUSAL = "None of the sim's sensors (";
const std::string SENSOR_TAIL = ") is a sensor column of the dataset";

// Joined by appending: GCC 12 at -O3 reports a false -Wrestrict for "literal" + std::string.
std::string numbered(std::string_view prefix, std::size_t n, std::string_view suffix = "") {
  std::string out(prefix);
  out += std::to_string(n);
  out += suffix;
  return out;
}

Json slot(std::optional<std::string> name, std::optional<std::string> mapped = std::nullopt) {
  Json m = Json::object();
  if (name) m["name"] = *name;
  if (mapped) m["name_mapped"] = *mapped;
  return m;
}

// A columns answer: the columns as (key, raw name) in the node's order.
Json columns_of(const std::vector<std::pair<std::string, Json>>& sensor_columns,
                const std::vector<std::pair<std::string, Json>>& action_columns = {}) {
  Json columns = {{"raw_names", Json::object()},
                  {"sensor_variables", Json::array()},
                  {"action_variables", Json::array()}};
  for (const auto& [key, raw] : sensor_columns) {
    columns["raw_names"][key] = raw;
    columns["sensor_variables"].push_back(key);
  }
  for (const auto& [key, raw] : action_columns) {
    columns["raw_names"][key] = raw;
    columns["action_variables"].push_back(key);
  }
  return columns;
}

Json mappings_of(Json sensors, Json actions = Json::array()) {
  return {{"sensors", std::move(sensors)}, {"actions", std::move(actions)}};
}

std::string refusal_of(const Json& mappings, const Json& columns) {
  try {
    plan_analysis(mappings, columns);
  } catch (const PublishReportError& e) {
    return e.what();
  }
  ADD_FAILURE() << "no refusal";
  return {};
}

TEST(PlanTest, NameIdentityDecidesTheMatch) {
  const struct {
    std::string raw_name;
    bool matches;
  } cases[] = {
      {"motor_speed", true}, {"MOTOR SPEED", true},  {"motor  speed", true},
      {"Motor Speed", true}, {"motor-speed", false}, {"motorspeed", false},
  };
  const Json mappings = mappings_of({slot(" Motor Speed ")});
  for (const auto& c : cases) {
    const Json columns = columns_of({{"k", c.raw_name}});
    if (c.matches) {
      const Plan plan = plan_analysis(mappings, columns);
      EXPECT_THAT(plan.sensors, ElementsAre(SlotColumn{" Motor Speed ", "k"})) << c.raw_name;
      EXPECT_THAT(plan.core, ElementsAre(c.raw_name));
    } else {
      EXPECT_EQ(refusal_of(mappings, columns), SENSOR_REFUSAL + "' Motor Speed '" + SENSOR_TAIL)
          << c.raw_name;
    }
  }
}

TEST(PlanTest, MappedNameOfAnArraySlotWinsWhereverItsColumnStands) {
  const Json mappings = mappings_of({slot("[0]", "speed")});
  const struct {
    std::vector<std::pair<std::string, Json>> columns;
    std::string expected;
  } cases[] = {
      {{{"s", "Speed"}, {"z", "[0]"}}, "s"},
      {{{"z", "[0]"}, {"s", "Speed"}}, "s"},
      {{{"z", "[0]"}, {"t", "torque"}}, "z"},
      {{{"s1", "speed"}, {"s2", "SPEED"}}, "s1"},
  };
  for (const auto& c : cases) {
    const Plan plan = plan_analysis(mappings, columns_of(c.columns));
    EXPECT_THAT(plan.sensors, ElementsAre(SlotColumn{"[0]", c.expected}));
    EXPECT_THAT(plan.core, ElementsAre(columns_of(c.columns)["raw_names"][c.expected].get<std::string>()));
  }
}

TEST(PlanTest, SharedColumnAppearsOncePerSensor) {
  const Plan plan = plan_analysis(mappings_of({slot("speed"), slot("[1]", "Speed"), slot("rpm")}),
                                  columns_of({{"t", "temp"}, {"s", "SPEED"}}));
  EXPECT_THAT(plan.sensors, ElementsAre(SlotColumn{"speed", "s"}, SlotColumn{"[1]", "s"}));
  EXPECT_THAT(plan.core, ElementsAre("SPEED", "SPEED"));
  EXPECT_THAT(plan.actions, IsEmpty());
}

TEST(PlanTest, PairNameIsAbsentWhenOnlyTheMappedNameMatched) {
  const Json sensors[] = {slot(std::nullopt, "speed"),
                          {{"name", ""}, {"name_mapped", "speed"}},
                          {{"name", nullptr}, {"name_mapped", "speed"}},
                          {{"name", 7}, {"name_mapped", "speed"}}};
  for (const Json& sensor : sensors) {
    const Plan plan =
        plan_analysis(mappings_of({sensor}, {sensor}), columns_of({{"s", "Speed"}}, {{"a", "speed"}}));
    EXPECT_THAT(plan.sensors, ElementsAre(SlotColumn{std::nullopt, "s"})) << sensor;
    EXPECT_THAT(plan.actions, ElementsAre(SlotColumn{std::nullopt, "a"})) << sensor;
  }
}

TEST(PlanTest, EveryActionKeepsItsOrderAndColumn) {
  const Plan plan =
      plan_analysis(mappings_of({slot("speed")}, {slot("Throttle"), slot("[0]", "brake"), slot("throttle")}),
                    columns_of({{"s", "speed"}}, {{"b", "Brake"}, {"t", "throttle"}}));
  EXPECT_THAT(plan.actions,
              ElementsAre(SlotColumn{"Throttle", "t"}, SlotColumn{"[0]", "b"}, SlotColumn{"throttle", "t"}));
}

TEST(PlanTest, SensorColumnsAndActionColumnsAreSeparate) {
  const Json columns = columns_of({{"s", "speed"}}, {{"a", "throttle"}});
  EXPECT_EQ(refusal_of(mappings_of({slot("throttle")}), columns),
            SENSOR_REFUSAL + "'throttle'" + SENSOR_TAIL);
  EXPECT_EQ(refusal_of(mappings_of({slot("speed")}, {slot("speed")}), columns),
            ACTION_REFUSAL + " 'speed'" + ACTION_TAIL);
}

TEST(PlanTest, ActionRefusalListsEveryMissingAction) {
  const Json columns = columns_of({{"s", "speed"}}, {{"t", "throttle"}});
  const struct {
    Json actions;
    std::string listed;
  } cases[] = {
      {{slot("brake")}, " 'brake'"},
      {{slot("a"), slot("b")}, "s 'a', 'b'"},
      {{slot("a"), slot("throttle"), slot("[2]", "b"), slot("[3]")}, "s 'a', 'b', '[3]'"},
      {{slot("it's")}, " \"it's\""},
      {{slot("say \"it's\"")}, " 'say \"it\\'s\"'"},
      {{slot("tab\there")}, " 'tab\\there'"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(refusal_of(mappings_of({slot("speed")}, c.actions), columns),
              ACTION_REFUSAL + c.listed + ACTION_TAIL);
  }

  Json many = Json::array();
  std::string listed;
  for (int i = 0; i < 25; ++i) {
    many.push_back(slot(numbered("a", i)));
    listed += i == 0 ? "" : ", ";
    listed += quoted_literal(numbered("a", i));
  }
  EXPECT_EQ(refusal_of(mappings_of({slot("speed")}, many), columns),
            ACTION_REFUSAL + "s " + listed + ACTION_TAIL);
}

TEST(PlanTest, SensorRefusalShowsTheFirstTenSensors) {
  const Json columns = columns_of({{"s", "speed"}});
  for (const int count : {0, 1, 10, 12}) {
    Json sensors = Json::array();
    std::vector<std::string> shown;
    for (int i = 0; i < count; ++i) {
      sensors.push_back(slot(numbered("[", i, "]"), numbered("v", i)));
      if (i < 10) shown.push_back(quoted_literal(numbered("v", i)));
    }
    std::string listed;
    for (const std::string& name : shown) {
      listed += listed.empty() ? "" : ", ";
      listed += name;
    }
    EXPECT_EQ(refusal_of(mappings_of(sensors), columns), SENSOR_REFUSAL + listed + SENSOR_TAIL) << count;
  }
  EXPECT_EQ(refusal_of(mappings_of(Json::array()), columns),
            "None of the sim's sensors () is a sensor column of the dataset");
}

TEST(PlanTest, ActionRefusalComesBeforeSensorRefusal) {
  EXPECT_EQ(refusal_of(mappings_of({slot("rpm")}, {slot("throttle")}), columns_of({{"s", "speed"}})),
            ACTION_REFUSAL + " 'throttle'" + ACTION_TAIL);
}

TEST(PlanTest, NamelessMappingsAreShownByPosition) {
  const Json columns = columns_of({{"s", "speed"}}, {{"t", "throttle"}});
  EXPECT_EQ(refusal_of(mappings_of({slot("speed")}, {slot("a"), slot("throttle"), Json::object(), slot(""),
                                                     Json(5), Json("brake")}),
                       columns),
            ACTION_REFUSAL + "s 'a', <action #3>, <action #4>, <action #5>, <action #6>" + ACTION_TAIL);
  EXPECT_EQ(refusal_of(mappings_of({slot("rpm"), Json::object(), Json::array()}), columns),
            SENSOR_REFUSAL + "'rpm', <sensor #2>, <sensor #3>" + SENSOR_TAIL);
}

TEST(PlanTest, EmptyColumnKeyLeavesTheSensorOut) {
  const Plan plan =
      plan_analysis(mappings_of({slot("speed"), slot("rpm")}), columns_of({{"", "speed"}, {"r", "RPM"}}));
  EXPECT_THAT(plan.sensors, ElementsAre(SlotColumn{"rpm", "r"}));
}

struct Failure {
  std::string type;
  std::string message;
  bool operator==(const Failure&) const = default;
};

std::optional<Failure> failure_of(const Json& mappings, const Json& columns) {
  try {
    plan_analysis(mappings, columns);
  } catch (const std::exception& e) {
    return Failure{type_name_of(e), e.what()};
  }
  return std::nullopt;
}

TEST(PlanTest, OrdinaryErrorsPassThrough) {
  const Json good = columns_of({{"s", "speed"}}, {{"t", "throttle"}});
  Json without_raw = good;
  without_raw.erase("raw_names");
  Json sensors_text = good;
  sensors_text["sensor_variables"] = "s";
  Json without_actions_list = good;
  without_actions_list.erase("action_variables");
  Json raw_number = good;
  raw_number["raw_names"]["s"] = 3;
  Json key_missing = good;
  key_missing["raw_names"].erase("s");
  Json key_number = good;
  key_number["sensor_variables"] = {1};
  Json key_list = good;
  key_list["sensor_variables"] = {Json::array()};

  const struct {
    Json mappings;
    Json columns;
    Failure expected;
  } cases[] = {
      {Json(3), without_raw, {"KeyError", "'raw_names'"}},
      {Json::object(), good, {"KeyError", "'sensors'"}},
      {{{"sensors", {slot("speed")}}}, good, {"KeyError", "'actions'"}},
      {mappings_of(Json::object()), good, {"TypeError", ""}},
      {mappings_of({slot("speed")}, "throttle"), good, {"TypeError", ""}},
      {mappings_of({slot("speed")}), sensors_text, {"TypeError", ""}},
      {mappings_of({slot("speed")}, {slot("throttle")}),
       without_actions_list,
       {"KeyError", "'action_variables'"}},
      {mappings_of({slot("speed")}), raw_number, {"TypeError", ""}},
      {mappings_of({slot("speed")}), key_missing, {"KeyError", "'s'"}},
      {mappings_of({slot("speed")}), key_number, {"KeyError", "1"}},
      {mappings_of({slot("speed")}), key_list, {"TypeError", ""}},
      {mappings_of({slot("speed")}), Json::array(), {"TypeError", ""}},
  };
  for (const auto& c : cases) {
    const std::optional<Failure> failure = failure_of(c.mappings, c.columns);
    ASSERT_TRUE(failure.has_value()) << c.mappings << " " << c.columns;
    EXPECT_EQ(failure->type, c.expected.type) << c.mappings << " " << c.columns;
    if (c.expected.type != "TypeError") {
      EXPECT_EQ(failure->message, c.expected.message);
    }
  }
}

TEST(PlanTest, BadColumnRaisesOnlyWhereTheSearchReachesIt) {
  // Column "r" has no raw name; where it stands decides whether the search ever reads it.
  Json columns = columns_of({{"s", "speed"}, {"r", "rpm"}}, {{"t", "throttle"}});
  columns["raw_names"].erase("r");
  Json bad_first = columns;
  bad_first["sensor_variables"] = {"r", "s"};
  Json bad_action = columns;
  bad_action["action_variables"] = {"t", "r"};
  Json no_roles = columns;
  no_roles.erase("sensor_variables");
  no_roles.erase("action_variables");

  const Failure missing_r{"KeyError", "'r'"};
  const struct {
    Json mappings;
    Json columns;
    std::optional<Failure> expected;
  } cases[] = {
      {mappings_of({slot("speed"), slot("SPEED")}), columns, std::nullopt},
      {mappings_of({slot("speed"), slot("torque")}), columns, missing_r},
      {mappings_of({slot("torque"), slot("speed")}), columns, missing_r},
      {mappings_of({slot("[0]", "speed")}), columns, std::nullopt},
      {mappings_of({slot("[0]", "torque")}), columns, missing_r},
      {mappings_of({slot("speed")}), bad_first, missing_r},
      {mappings_of({slot("speed")}, {slot("throttle")}), bad_action, std::nullopt},
      {mappings_of({slot("speed")}, {slot("brake")}), bad_action, missing_r},
      {mappings_of(Json::array()), columns,
       Failure{"PublishReportError", "None of the sim's sensors () is a sensor column of the dataset"}},
      {mappings_of({Json::object(), Json(2)}, {Json::object()}), no_roles,
       Failure{"PublishReportError", ACTION_REFUSAL + " <action #1>" + ACTION_TAIL}},
  };
  for (const auto& c : cases) EXPECT_EQ(failure_of(c.mappings, c.columns), c.expected) << c.mappings;
}

// The search as written: names outside, columns inside, every identity computed in the loop.
std::optional<std::string> nested_column(const Json& mapping, const Json& columns, const std::string& role) {
  const Json& raw = subscript(columns, "raw_names");
  for (const std::string& name : mapping_names(mapping)) {
    const Json& keys = subscript(columns, role);
    if (!keys.is_array()) throw TypeError("not a list");
    for (const Json& c : keys) {
      if (!c.is_string()) throw KeyError(plain_text(c));
      const Json& raw_name = subscript(raw, c.get<std::string>());
      if (!raw_name.is_string()) throw TypeError("not a text");
      if (normalized(raw_name.get<std::string>()) == normalized(name)) return c.get<std::string>();
    }
  }
  return std::nullopt;
}

// The wording of a TypeError is each implementation's own; its kind and a KeyError's key are not.
Failure comparable_failure(const std::exception& e) {
  const std::string type = type_name_of(e);
  return {type, type == "TypeError" ? "" : e.what()};
}

struct Outcome {
  std::vector<SlotColumn> sensors, actions;
  std::vector<std::string> core;
  std::optional<Failure> failure;
  bool operator==(const Outcome&) const = default;
};

Outcome nested_outcome(const Json& mappings, const Json& columns) {
  Outcome out;
  try {
    const Json& raw = subscript(columns, "raw_names");
    std::size_t missing = 0;
    for (const Json& m : subscript(mappings, "sensors")) {
      const auto c = nested_column(m, columns, "sensor_variables");
      if (c && !c->empty()) {
        out.sensors.emplace_back(_field(m, "name"), *c);
        out.core.push_back(subscript(raw, *c).get<std::string>());
      }
    }
    const Json& actions = subscript(mappings, "actions");
    for (std::size_t i = 0; i < actions.size(); ++i) {
      const auto c = nested_column(actions[i], columns, "action_variables");
      if (c) {
        out.actions.emplace_back(_field(actions[i], "name"), *c);
      } else {
        ++missing;
      }
    }
    if (missing > 0) throw PublishReportError("missing actions");
    if (out.sensors.empty()) throw PublishReportError("no sensor");
  } catch (const std::exception& e) {
    return Outcome{.failure = comparable_failure(e)};
  }
  return out;
}

Outcome plan_outcome(const Json& mappings, const Json& columns) {
  try {
    const Plan plan = plan_analysis(mappings, columns);
    return Outcome{plan.sensors, plan.actions, plan.core, std::nullopt};
  } catch (const std::exception& e) {
    return Outcome{.failure = comparable_failure(e)};
  }
}

TEST(PlanTest, FastSearchEqualsTheNestedSearchOnRandomInputs) {
  const std::vector<std::string> names = {"a", " A ", "b", "B", "[0]", "[1]", "c d", "C  D", "c_d", ""};
  std::mt19937 random(20240611);
  const auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  const auto maybe_name = [&]() -> std::optional<std::string> {
    if (pick(4) == 0) return std::nullopt;
    return names[pick(names.size())];
  };
  const auto random_mappings = [&] {
    Json list = Json::array();
    for (std::size_t i = pick(5); i > 0; --i)
      list.push_back(pick(12) == 0 ? Json(4) : slot(maybe_name(), maybe_name()));
    return list;
  };

  int failures = 0, refusals = 0, plans = 0;
  for (int round = 0; round < 3000; ++round) {
    Json columns = {{"raw_names", Json::object()}};
    for (int k = 0; k < 6; ++k) {
      const std::size_t kind = pick(14);
      if (kind == 0) continue;
      columns["raw_names"][numbered("k", k)] = kind == 1 ? Json(nullptr) : Json(names[pick(names.size())]);
    }
    for (const char* role : {"sensor_variables", "action_variables"}) {
      if (pick(20) == 0) continue;
      Json keys = Json::array();
      for (std::size_t i = pick(5); i > 0; --i) keys.push_back(numbered("k", pick(6)));
      columns[role] = keys;
    }
    const Json mappings = mappings_of(random_mappings(), random_mappings());

    const Outcome expected = nested_outcome(mappings, columns);
    const Outcome actual = plan_outcome(mappings, columns);
    if (expected.failure && expected.failure->type == "PublishReportError") {
      ASSERT_TRUE(actual.failure.has_value()) << mappings << "\n" << columns;
      EXPECT_EQ(actual.failure->type, "PublishReportError") << mappings << "\n" << columns;
      ++refusals;
    } else {
      ASSERT_EQ(actual, expected) << mappings << "\n" << columns;
      if (expected.failure) {
        ++failures;
      } else {
        ++plans;
      }
    }
  }
  EXPECT_GT(failures, 100);
  EXPECT_GT(refusals, 100);
  EXPECT_GT(plans, 100);
}

TEST(QuotedLiteralTest, Table) {
  const struct {
    std::string name;
    std::string quoted;
  } cases[] = {
      {"speed", "'speed'"},
      {"", "''"},
      {"it's", "\"it's\""},
      {"say \"hi\"", "'say \"hi\"'"},
      {"it's \"x\"", "'it\\'s \"x\"'"},
      {"a\\b", "'a\\\\b'"},
      {"\t\n\r", "'\\t\\n\\r'"},
      {"a b", "'a b'"},
      {std::string("\0", 1), "'\\x00'"},
      {"\x1f", "'\\x1f'"},
      {"\x7f", "'\\x7f'"},
      {"\u0085", "'\\x85'"},
      {"\u00a0", "'\\xa0'"},
      {"\u00e9", "'\u00e9'"},
      {"\u00ad", "'\\xad'"},
      {"\u200b", "'\\u200b'"},
      {"\u2028\u2029", "'\\u2028\\u2029'"},
      {"\u3000", "'\\u3000'"},
      {"\ue000", "'\\ue000'"},
      {"\U000f0000", "'\\U000f0000'"},
      {"\U0010ffff", "'\\U0010ffff'"},
      {"\U000e0001", "'\\U000e0001'"},
      {"\u0378", "'\\u0378'"},
      {"\u00e9\u6f22", "'\u00e9\u6f22'"},
      {"\U0001f600", "'\U0001f600'"},
      {"\u0301", "'\u0301'"},
  };
  for (const auto& c : cases) EXPECT_EQ(quoted_literal(c.name), c.quoted) << c.quoted;
}

TEST(QuotedLiteralTest, InvalidBytesShowAsHexEscapes) {
  const struct {
    std::string name;
    std::string quoted;
  } cases[] = {
      {"a\xff"
       "b",
       "'a\\xffb'"},
      {"\xe6\xbc", "'\\xe6\\xbc'"},
      {"\x80", "'\\x80'"},
      {"\xc0\xaf", "'\\xc0\\xaf'"},
      {"\xed\xa0\x80", "'\\xed\\xa0\\x80'"},
      {"\xf4\x90\x80\x80", "'\\xf4\\x90\\x80\\x80'"},
      {"\xe6\xbc\xa2\xe6", "'\u6f22\\xe6'"},
  };
  for (const auto& c : cases) EXPECT_EQ(quoted_literal(c.name), c.quoted) << c.quoted;
}

TEST(QuotedLiteralTest, AnyBytesGiveValidPrintableText) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> byte(0, 255), length(0, 12);
  for (int round = 0; round < 20000; ++round) {
    std::string name;
    for (int i = length(random); i > 0; --i) name += static_cast<char>(byte(random));
    const std::string quoted = quoted_literal(name);
    ASSERT_GE(quoted.size(), 2u);
    EXPECT_EQ(quoted.front(), quoted.back());
    EXPECT_EQ(utf8::sanitize(quoted), quoted) << "invalid UTF-8 for " << ::testing::PrintToString(name);
    for (const char ch : quoted) {
      const auto b = static_cast<unsigned char>(ch);
      EXPECT_TRUE(b >= 0x20 && b != 0x7f) << "raw control byte for " << ::testing::PrintToString(name);
    }
  }
}

}  // namespace
}  // namespace nalto
