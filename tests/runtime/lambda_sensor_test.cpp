#include "nalto/runtime/lambda_sensor.hpp"

#include <gtest/gtest.h>

#include "nalto/support/errors.hpp"

namespace nalto {
namespace {

TEST(LambdaSensorTest, ReadsTheObservationAtItsKeys) {
  const Json obs = Json::parse(R"({"temps": [20.5, [21, 22]], "fan": {"on": true}})");
  const std::vector<std::pair<std::string, Json>> cases = {
      {"", obs},
      {"['temps'][0]", 20.5},
      {"['temps'][1]", Json::array({21, 22})},
      {"['temps'][-1][0]", 21},
      {" ['fan'] [\"on\"] ", Json()},  // text between the brackets: not a sensor mapping
      {"['fan'][\"on\"]", true},
  };
  for (const auto& [slot, expected] : cases) {
    if (expected.is_null()) {
      EXPECT_THROW(runtime::make_lambda_sensor(slot, "lambda sensors: sensors" + slot), ValueError) << slot;
      continue;
    }
    EXPECT_EQ(runtime::make_lambda_sensor(slot, "lambda sensors: sensors" + slot)->sense(obs), expected)
        << slot;
  }
}

TEST(LambdaSensorTest, OtherMappingTextsAndMissingKeysFail) {
  for (const char* text :
       {"lambda s: s[0]", "sensors[0]", "lambda sensors: sensors.x", "lambda sensors: sensors[0]+1"})
    EXPECT_THROW(runtime::make_lambda_sensor("x", text), ValueError) << text;
  EXPECT_THROW(runtime::make_lambda_sensor("x", "lambda sensors: sensors[y]"), LiteralError);
  const auto sensor = runtime::make_lambda_sensor("x", "lambda sensors: sensors['missing']");
  EXPECT_THROW(sensor->sense(Json::object()), KeyError);
  EXPECT_THROW(sensor->sense(Json::array()), TypeError);
}

}  // namespace
}  // namespace nalto
