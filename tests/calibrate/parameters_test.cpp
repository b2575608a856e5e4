// The parameters of a calibration: how they are written, where they live in an env_init, where the
// search starts and what a value at a bound is.

#include "nalto/calibrate/parameters.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include "nalto/support/errors.hpp"

namespace nalto::calibrate {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(ParameterTest, ReadsDotPathsPointersBoundsAndScale) {
  struct Case {
    const char* spec;
    std::vector<std::string> path;
    double low, high;
    bool log;
  };
  const Case cases[] = {
      {"room_capacity=5e4..5e5:log", {"room_capacity"}, 5e4, 5e5, true},
      {"params.orifice1=-1.5..0.25", {"params", "orifice1"}, -1.5, 0.25, false},
      {"/parameters/spring.c=1..2", {"parameters", "spring.c"}, 1, 2, false},
      {"/a~1b/c~0d=0..1", {"a/b", "c~d"}, 0, 1, false},
      {"x.y.z=-3..-2", {"x", "y", "z"}, -3, -2, false},
  };
  for (const Case& c : cases) {
    const Parameter parameter = parse_parameter(c.spec);
    EXPECT_EQ(parameter.path, c.path) << c.spec;
    EXPECT_EQ(parameter.low, c.low) << c.spec;
    EXPECT_EQ(parameter.high, c.high) << c.spec;
    EXPECT_EQ(parameter.log, c.log) << c.spec;
  }
}

TEST(ParameterTest, RefusesWhatCannotBeSearched) {
  struct Case {
    const char* spec;
    const char* says;
  };
  const Case cases[] = {
      {"gain", "expected NAME=LOW..HIGH"},     {"=1..2", "expected NAME=LOW..HIGH"},
      {"gain=1-2", "expected NAME=LOW..HIGH"}, {"gain=a..2", "finite numbers"},
      {"gain=1..inf", "finite numbers"},       {"gain=2..1", "LOW below HIGH"},
      {"gain=1..1", "LOW below HIGH"},         {"gain=0..1:log", "above 0"},
      {"a..b=0..1", "empty member name"},      {"/a~2=0..1", "no JSON Pointer"},
  };
  for (const Case& c : cases) {
    try {
      parse_parameter(c.spec);
      ADD_FAILURE() << c.spec << " was taken";
    } catch (const ValueError& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.says)) << c.spec;
    }
  }
}

TEST(ParameterTest, RefusesTwoParametersAtOnePlaceOrOneInsideAnother) {
  EXPECT_THROW(check_distinct({parse_parameter("a.b=0..1"), parse_parameter("/a/b=0..1")}), ValueError);
  EXPECT_THROW(check_distinct({parse_parameter("a=0..1"), parse_parameter("a.b=0..1")}), ValueError);
  EXPECT_NO_THROW(check_distinct({parse_parameter("a.b=0..1"), parse_parameter("a.c=0..1")}));
}

TEST(ParameterTest, StartsAtTheBasesValueElseTheMiddleOfItsScale) {
  const Json base = Json::parse(R"({"gain": 3, "params": {"k": 0.5}, "none": null})");
  EXPECT_EQ(start_value(parse_parameter("gain=1..10"), base), 3);
  EXPECT_EQ(start_value(parse_parameter("params.k=0..1"), base), 0.5);
  EXPECT_EQ(start_value(parse_parameter("missing.k=0..4"), base), 2);
  EXPECT_EQ(start_value(parse_parameter("none.k=0..4"), base), 2);
  EXPECT_NEAR(start_value(parse_parameter("c=10..1000:log"), base), 100, 1e-9);
  EXPECT_THROW(start_value(parse_parameter("gain=5..10"), base), ValueError);
  EXPECT_THROW(start_value(parse_parameter("params=0..1"), base), ValueError);  // an object, no number
  EXPECT_THROW(start_value(parse_parameter("gain.k=0..1"), base), ValueError);  // inside a number
}

TEST(ParameterTest, MergesValuesMakingTheObjectsOnTheWayAndLeavesTheRestAlone) {
  const Json base = Json::parse(R"({"name": "room", "params": {"k": 1, "other": [1, 2]}})");
  const Json merged =
      with_values(base, {parse_parameter("params.k=0..2"), parse_parameter("/new/a.b=0..2")}, {1.5, 0.25});
  EXPECT_EQ(merged, Json::parse(R"({"name": "room", "params": {"k": 1.5, "other": [1, 2]},
                                    "new": {"a.b": 0.25}})"));
  EXPECT_EQ(base["params"]["k"], 1);
  EXPECT_THROW(with_values(base, {parse_parameter("name.x=0..1")}, {0.5}), ValueError);
}

TEST(ParameterTest, ALogScaleSearchesTheLogarithmAndStaysWithinTheBounds) {
  const Parameter log = parse_parameter("c=1e-3..1e3:log"), linear = parse_parameter("g=-1..1");
  EXPECT_NEAR(to_search(log, 1), 0, 1e-12);
  EXPECT_DOUBLE_EQ(from_search(log, to_search(log, 1e3)), 1e3);
  EXPECT_EQ(from_search(log, 100), 1e3);  // far beyond: the bound
  EXPECT_EQ(to_search(linear, 0.5), 0.5);
}

TEST(ParameterTest, AValueWithinAHundredthOfTheRangeOfABoundIsAtIt) {
  const Parameter linear = parse_parameter("g=0..100"), log = parse_parameter("c=1..1e4:log");
  EXPECT_TRUE(at_bound(linear, 0.5));
  EXPECT_TRUE(at_bound(linear, 99.5));
  EXPECT_FALSE(at_bound(linear, 2));
  EXPECT_TRUE(at_bound(log, 1.05));  // log10 0.02 of 4 decades
  EXPECT_FALSE(at_bound(log, 2));    // 0.3 of 4 decades
  EXPECT_TRUE(at_bound(log, 9.5e3));
}

}  // namespace
}  // namespace nalto::calibrate
