#include "nalto/runtime/spaces.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "nalto/support/errors.hpp"

namespace nalto {
namespace {

constexpr int DRAWS = 1000;

Json slot(const char* name) {
  return {{"name", name}};
}
Json slot(const char* name, const char* mapped) {
  return {{"name", name}, {"name_mapped", mapped}};
}

TEST(SpacesTest, ListsOneVariablePerLeaf) {
  const std::vector<std::pair<const char*, Json>> cases = {
      {R"({"type":"box","shape":[2],"low":0,"high":1})", Json::array({slot("[0]"), slot("[1]")})},
      {R"({"type":"box","shape":[3],"names":["t","",5]})",
       Json::array({slot("[0]", "t"), slot("[1]"), slot("[2]")})},
      {R"({"type":"box","shape":[0]})", Json::array()},
      {R"({"type":"discrete","n":3})", Json::array({slot("")})},
      {R"({"type":"discrete","n":3,"name":"mode"})", Json::array({slot("", "mode")})},
      {R"({"type":"dict","spaces":{"b":{"type":"box","shape":[2],"names":["x"]},"a":{"type":"discrete","n":2}}})",
       Json::array({slot("['b'][0]", "x"), slot("['b'][1]"), slot("['a']")})},
      {R"({"type":"tuple","spaces":[{"type":"dict","spaces":{"k":{"type":"discrete","n":2}}},{"type":"box","shape":[1]}]})",
       Json::array({slot("[0]['k']"), slot("[1][0]")})},
      {R"({"type":"dict","spaces":{"it's":{"type":"dict","spaces":{"a\\b":{"type":"discrete","n":1}}}}})",
       Json::array({slot(R"(['it\'s']['a\\b'])")})},
  };
  for (const auto& [space, expected] : cases)
    EXPECT_EQ(runtime::convert_space_to_json(Json::parse(space)), expected) << space;
}

TEST(SpacesTest, MalformedSpacesFail) {
  const std::vector<const char*> value_errors = {
      R"({"type":"ring"})",
      R"({"shape":[2]})",
      R"({"type":"box"})",
      R"({"type":"box","shape":[]})",
      R"({"type":"box","shape":[2,2]})",
      R"({"type":"box","shape":[-1]})",
      R"({"type":"box","shape":[1.5]})",
      R"({"type":"box","shape":[2],"low":[0]})",
      R"({"type":"box","shape":[2],"dtype":"float32"})",
      R"({"type":"discrete","n":0})",
      R"({"type":"discrete","n":2.5})",
      R"({"type":"discrete"})",
      R"({"type":"tuple","spaces":[{"type":"discrete","n":-1}]})",
      // Declared sizes that would exhaust memory before anything could be checked.
      R"({"type":"box","shape":[9000000000000000000]})",
      R"({"type":"box","shape":[1048577],"low":0})",
      R"({"type":"tuple","spaces":[{"type":"box","shape":[1048576]},{"type":"discrete","n":2}]})",
  };
  const std::vector<const char*> type_errors = {
      R"([1])",
      R"({"type":"box","shape":[2],"names":"ab"})",
      R"({"type":"box","shape":[2],"low":"0"})",
      R"({"type":"dict","spaces":[]})",
      R"({"type":"tuple","spaces":{}})",
      R"({"type":"tuple"})",
  };
  for (const char* space : value_errors) {
    EXPECT_THROW(runtime::convert_space_to_json(Json::parse(space)), ValueError) << space;
    EXPECT_THROW(runtime::to_compute_space(Json::parse(space)), ValueError) << space;
  }
  for (const char* space : type_errors) {
    EXPECT_THROW(runtime::convert_space_to_json(Json::parse(space)), TypeError) << space;
    EXPECT_THROW(runtime::to_compute_space(Json::parse(space)), TypeError) << space;
  }
  for (const char* space : {R"({"type":"box","shape":[1],"dtype":"int64","low":0.2,"high":0.8})",
                            R"({"type":"box","shape":[1],"low":2,"high":1})"})
    EXPECT_THROW(runtime::to_compute_space(Json::parse(space)), ValueError) << space;
}

TEST(SpacesTest, BoxSamplesStayWithinBoundsWithTheirType) {
  struct Case {
    const char* space;
    std::vector<double> low, high;
    bool integer;
  };
  constexpr double INF = std::numeric_limits<double>::infinity();
  const std::vector<Case> cases = {
      {R"({"type":"box","shape":[2],"low":[-1,10],"high":[1,10.5]})", {-1, 10}, {1, 10.5}, false},
      {R"({"type":"box","shape":[3],"low":[0,null,-1e308],"high":[null,0,1e308]})",
       {0, -INF, -1e308},
       {INF, 0, 1e308},
       false},
      {R"({"type":"box","shape":[1]})", {-INF}, {INF}, false},
      {R"({"type":"box","shape":[2],"low":-2.5,"high":[2.5,3],"dtype":"int64"})", {-2, -2}, {2, 3}, true},
      {R"({"type":"box","shape":[2],"low":[5,null],"high":[null,-5],"dtype":"int64"})",
       {5, -INF},
       {INF, -5},
       true},
  };
  for (const auto& c : cases) {
    const auto space = runtime::to_compute_space(Json::parse(c.space));
    for (int draw = 0; draw < DRAWS; ++draw) {
      const Json value = space->sample();
      ASSERT_TRUE(value.is_array()) << c.space;
      ASSERT_EQ(value.size(), c.low.size()) << c.space;
      for (std::size_t i = 0; i < value.size(); ++i) {
        ASSERT_EQ(value[i].is_number_integer(), c.integer) << c.space << " " << value[i];
        ASSERT_TRUE(value[i].is_number()) << c.space;
        const double x = value[i].get<double>();
        ASSERT_TRUE(std::isfinite(x)) << c.space;
        ASSERT_GE(x, c.low[i]) << c.space;
        ASSERT_LE(x, c.high[i]) << c.space;
      }
    }
  }
}

TEST(SpacesTest, IntegerAndDiscreteSamplesReachEveryValue) {
  const std::vector<std::pair<const char*, std::set<std::int64_t>>> cases = {
      {R"({"type":"box","shape":[1],"low":-1,"high":1,"dtype":"int64"})", {-1, 0, 1}},
      {R"({"type":"box","shape":[1],"low":-0.5,"high":2.9,"dtype":"int64"})", {0, 1, 2}},
      {R"({"type":"discrete","n":4})", {0, 1, 2, 3}},
  };
  for (const auto& [text, expected] : cases) {
    const auto space = runtime::to_compute_space(Json::parse(text));
    std::set<std::int64_t> seen;
    for (int draw = 0; draw < DRAWS; ++draw) {
      const Json value = space->sample();
      const Json& x = value.is_array() ? value.at(0) : value;
      ASSERT_TRUE(x.is_number_integer()) << text;
      seen.insert(x.get<std::int64_t>());
    }
    EXPECT_EQ(seen, expected) << text;
  }
}

TEST(SpacesTest, CompositeSamplesKeepTheirShape) {
  const auto space = runtime::to_compute_space(Json::parse(
      R"({"type":"dict","spaces":{"z":{"type":"discrete","n":2},"a":{"type":"tuple","spaces":[
          {"type":"box","shape":[2],"low":0,"high":1},{"type":"discrete","n":3}]}}})"));
  for (int draw = 0; draw < DRAWS; ++draw) {
    const Json value = space->sample();
    ASSERT_TRUE(value.is_object());
    ASSERT_EQ(value.size(), 2u);
    EXPECT_EQ(value.begin().key(), "z");
    const Json& tuple = value.at("a");
    ASSERT_TRUE(tuple.is_array());
    ASSERT_EQ(tuple.size(), 2u);
    EXPECT_EQ(tuple[0].size(), 2u);
    EXPECT_TRUE(tuple[0][0].is_number_float());
    EXPECT_TRUE(tuple[1].is_number_integer());
  }
}

TEST(SpacesTest, ComputeSeesValuesWithNonFiniteNumbersAsNull) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<std::pair<Json, Json>> cases = {
      {Json::parse(R"({"b":[1,2.0,"x",true,null],"a":{"c":-3}})"),
       Json::parse(R"({"b":[1,2.0,"x",true,null],"a":{"c":-3}})")},
      {nan, nullptr},
      {Json::array({1.5, inf, -inf}), Json::array({1.5, nullptr, nullptr})},
      {Json{{"k", Json::array({Json{{"v", nan}}})}}, Json{{"k", Json::array({Json{{"v", nullptr}}})}}},
  };
  for (const auto& [value, expected] : cases) {
    const Json seen = runtime::as_compute_sees(value);
    EXPECT_EQ(seen, expected) << expected;
    EXPECT_EQ(seen.dump(), expected.dump());
  }
}

}  // namespace
}  // namespace nalto
