#include "nalto/check/answers.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include "nalto/support/errors.hpp"
#include "support/sensor_runtime.hpp"

namespace nalto {
namespace {

using check::Contract;
using check::Problem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::vector<std::string> described(const std::vector<Problem>& problems) {
  std::vector<std::string> out;
  for (const Problem& problem : problems) out.push_back(check::describe(problem));
  return out;
}

std::vector<std::string> in_space(const Json& value, const Json& space) {
  std::vector<Problem> out;
  check::check_in_space(value, space, "observation", out, Problem{.call = "Reset"});
  return described(out);
}

const Json BOX =
    parse_json(R"({"type": "box", "shape": [2], "low": [0, null], "high": 10.5, "dtype": "float64"})");
const Json INT_BOX = parse_json(R"({"type": "box", "shape": [1], "low": 0, "high": 3, "dtype": "int64"})");

TEST(CheckInSpaceTest, TellsEachMisfitWithItsField) {
  const Json dict = {{"type", "dict"},
                     {"spaces", {{"power", BOX}, {"fan", {{"type", "discrete"}, {"n", 3}}}}}};
  const Json tuple = {{"type", "tuple"}, {"spaces", {INT_BOX, {{"type", "discrete"}, {"n", 2}}}}};
  struct Case {
    Json value, space;
    std::vector<std::string> problems;
  };
  const std::vector<Case> cases = {
      {{0.0, -1e300}, BOX, {}},  // the open low side takes anything
      {{10.5, 1}, BOX, {}},      // an integer fits a float64 box
      {{-0.5, 11},
       BOX,
       {"Reset: observation[0]: -0.5 is below the space's low 0.0",
        "Reset: observation[1]: 11 is above the space's high 10.5"}},
      {{1.0}, BOX, {"Reset: observation: has 1 elements, the space's shape is [2]"}},
      {{{"a", 1}}, BOX, {"Reset: observation: is object, not a list: the space is a box of shape [2]"}},
      {{"1", true},
       BOX,
       {"Reset: observation[0]: is text, not a number", "Reset: observation[1]: is boolean, not a number"}},
      {{2.0}, INT_BOX, {"Reset: observation[0]: 2.0 is a floating-point number, the space's dtype is int64"}},
      {{{"power", {1.0, 2.0}}, {"fan", 3}, {"extra", 0}},
       dict,
       {"Reset: observation['fan']: 3 is outside the discrete space's 0..3-1",
        "Reset: observation['extra']: is not in the space"}},
      {{{"fan", 0}}, dict, {"Reset: observation['power']: is missing"}},
      {{{4}, 1}, tuple, {"Reset: observation[0][0]: 4 is above the space's high 3.0"}},
      {{{1}}, tuple, {"Reset: observation: is list of 1, the space is a tuple of 2"}},
      {1.5,
       {{"type", "discrete"}, {"n", 2}},
       {"Reset: observation: is floating-point number, not an integer: the space is discrete"}},
      {1, {{"type", "ring"}}, {"Reset: observation: the space's type \"ring\" is unknown"}},
  };
  for (const Case& c : cases) EXPECT_EQ(in_space(c.value, c.space), c.problems) << c.value.dump();
}

TEST(CheckAnswerTest, ShapesTypesAndNonFiniteValuesOfResetAndStep) {
  const testing::SensorRuntime runtime;  // read_slot reads through the runtime's sensor
  Contract contract{.sensor_space = BOX,
                    .sensors = parse_json(R"([{"name": "[0]", "name_mapped": "Temp"}])")};
  const Json nan = std::nan("");
  struct Case {
    Json answer;
    bool reset;
    std::vector<std::string> problems;
  };
  const std::vector<Case> cases = {
      {{{1.0, 2.0}, Json::object()}, true, {}},
      {{{1.0, 2.0}}, true, {"Reset: the answer must be [obs, info], not a list of 1 item"}},
      {"text", true, {"Reset: the answer must be [obs, info], not text"}},
      {{{1.0, 2.0}, 0.5, false, false, Json::object()}, false, {}},
      {{{1.0, 2.0}, 0.5, false, Json::object()},
       false,
       {"Step 7: the answer must be [obs, reward, terminated, truncated, info], not a list of 4 items",
        "Step 7: truncated: is object {}, not a boolean"}},
      {{{1.0, 2.0}, 0.5, 0, "no", Json::object()},
       false,
       {"Step 7: terminated: is integer 0, not a boolean",
        "Step 7: truncated: is text \"no\", not a boolean"}},
      {{{nan, 2.0}, nan, false, false, {{"t", INFINITY}}},
       false,
       {"Step 7: observation[0]: NaN is not a finite number (JSON has no such value; a publish cannot read "
        "it)",
        "Step 7: reward: NaN is not a finite number (JSON has no such value; a publish cannot read it)",
        "Step 7: info['t']: Infinity is not a finite number (JSON has no such value; a publish cannot read "
        "it)"}},
      {{{"x", 2.0}, 0.5, false, false, Json::object()},
       false,
       {"Step 7: observation[0]: is text, not a number",
        "Step 7: sensor 'Temp': its slot [0] cannot be read as a number in the observation (the value there "
        "is "
        "\"x\")"}},
  };
  for (const Case& c : cases) {
    const std::vector<Problem> found =
        c.reset ? check::check_reset(c.answer, contract) : check::check_step(c.answer, contract, 7);
    EXPECT_EQ(described(found), c.problems) << c.answer.dump();
  }
}

TEST(CheckAnswerTest, SlotsThatCannotBeReadOrWritten) {
  const testing::SensorRuntime runtime;
  const Contract contract{.sensors =
                              parse_json(R"([{"name": "[5]", "name_mapped": "Echo"}, {"name_mapped": "X"},
                                                  {"name": "['a']"}])")};
  EXPECT_THAT(
      described(check::check_reset(parse_json(R"([[1.0], {}])"), contract)),
      ElementsAre("Reset: sensor 'Echo': its slot [5] cannot be read as a number in the observation "
                  "(IndexError: list index out of range)",
                  "Reset: sensor 'X': has no slot name, so nothing can be read for it",
                  "Reset: sensor \"['a']\": its slot ['a'] cannot be read as a number in the observation "
                  "(TypeError: list indices must be integers, not text)"));

  const Json actions = parse_json(R"([{"name": "['power'][0]"}, {"name": "['fan']", "name_mapped": "Fan"},
                                      {"name": "['gone']"}, {"name_mapped": "Nameless"}])");
  const std::vector<std::string> problems =
      described(check::check_action_slots(parse_json(R"({"power": [1.5], "fan": 2})"), actions));
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_THAT(problems[0], ::testing::StartsWith("ActionSpaceInfo: action \"['gone']\": its slot ['gone'] "
                                                 "cannot be written in a sampled action (KeyError"));
  EXPECT_EQ(problems[1],
            "ActionSpaceInfo: action 'Nameless': (TypeError: the sim's action has no slot name)");
}

TEST(FirstDifferenceTest, NamesTheFirstFieldThatDiffers) {
  const auto diff = [](const char* a, const char* b) {
    return check::first_difference(parse_sim_json(a), parse_sim_json(b), "observation");
  };
  EXPECT_EQ(diff("[1.0, 2.0]", "[1, 2.0]"), std::nullopt);
  EXPECT_EQ(diff("[NaN]", "[NaN]"), std::nullopt);
  EXPECT_EQ(diff("[1.0, 2.0]", "[1.0, 2.5]"), "observation[1]: 2.0 then 2.5");
  EXPECT_EQ(diff(R"({"a": [1], "b": 2})", R"({"a": [1], "b": 3})"), "observation['b']: 2 then 3");
  EXPECT_EQ(diff("[1.0]", "[1.0, 2.0]"), "observation: [1.0] then [1.0,2.0]");
  EXPECT_EQ(diff(R"({"a": 1})", R"({"a": 1, "b": 2})"), "observation: {\"a\":1} then {\"a\":1,\"b\":2}");
}

}  // namespace
}  // namespace nalto
