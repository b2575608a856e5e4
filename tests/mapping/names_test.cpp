#include "nalto/mapping/names.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace nalto {
namespace {

using ::testing::ElementsAreArray;

TEST(NormalizedTest, Examples) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"  Motor Speed  ", "motor_speed"},
      {"a\tb\nc", "a_b_c"},
      {"", ""},
      {" \t\n\r\v\f ", ""},
      {"motor-speed", "motor-speed"},
      {"a - b", "a_-_b"},
      {"a__b", "a__b"},
      {"Speed 2.5 (RPM)!", "speed_2.5_(rpm)!"},
      // A run of mixed whitespace is one underscore, whatever its length.
      {"A \t\u00a0\u3000\u2003 B", "a_b"},
      // U+001C-U+001F are whitespace too, though many regular expression engines disagree.
      {"\x1c\x1dSpeed\x1e\x1fLimit\x1f", "speed_limit"},
      {"x\u0085y\u1680z\u2028w\u2029v\u202fu\u205ft\u200as", "x_y_z_w_v_u_t_s"},
      // Zero-width space and the like are not whitespace.
      {"a\u200bb", "a\u200bb"},
      {"a\u180eb", "a\u180eb"},
      // Full lowercase: one character may become two; a final sigma has its own form.
      {"\u0130", "i\u0307"},
      {"\u03a3\u0391\u03a3 \u03a3\u0391\u03a3", "\u03c3\u03b1\u03c2_\u03c3\u03b1\u03c2"},
      {"\u03a3", "\u03c3"},
      {"\u00dcBER\u00c7\u2126", "\u00fcber\u00e7\u03c9"},
      // Invalid bytes are replaced, never passed on.
      {"A\xff B", "a\ufffd_b"},
  };
  for (const auto& [name, identity] : cases) EXPECT_EQ(normalized(name), identity) << name;
}

TEST(NormalizedTest, SharedIdentity) {
  const std::vector<std::tuple<std::string, std::string, bool>> cases = {
      {"Motor_Speed", "motor speed", true},
      {"Motor Speed", " MOTOR\t\tSPEED\n", true},
      {"motor speed", "motor-speed", false},
      {"motor  speed", "motor__speed", false},
  };
  for (const auto& [a, b, same] : cases) EXPECT_EQ(normalized(a) == normalized(b), same) << a << " / " << b;
}

TEST(FieldTest, NonEmptyTextsOnly) {
  const std::vector<std::pair<Json, std::optional<std::string>>> cases = {
      {Json{{"name", "speed"}}, "speed"},
      {Json{{"name", " "}}, " "},
      {Json{{"name", ""}}, std::nullopt},
      {Json{{"name", 3}}, std::nullopt},
      {Json{{"name", nullptr}}, std::nullopt},
      {Json{{"name", Json::array({"speed"})}}, std::nullopt},
      {Json{{"name", Json{{"name", "speed"}}}}, std::nullopt},
      {Json{{"other", "speed"}}, std::nullopt},
      {Json::object(), std::nullopt},
      // A value that is no object has no fields.
      {Json("name"), std::nullopt},
      {Json::array({"name", "speed"}), std::nullopt},
      {Json(3), std::nullopt},
      {Json(), std::nullopt},
  };
  for (const auto& [mapping, value] : cases) EXPECT_EQ(_field(mapping, "name"), value) << mapping.dump();
}

TEST(ArraySlotTest, WholeNameOnly) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"[0]", true},
      {"[12]", true},
      {"[007]", true},
      {"[\u0663]", true},         // Arabic-Indic three
      {"[1\u0663\uff11]", true},  // mixed scripts, fullwidth one
      {"[\u00b2]", false},        // superscript two is no decimal digit
      {"[-1]", false},
      {"[+1]", false},
      {"[ 0 ]", false},
      {"['0']", false},
      {"[0]\n", false},
      {"[0]\r\n", false},
      {" [0]", false},
      {"[0] ", false},
      {"[0][1]", false},
      {"x[0]", false},
      {"[]", false},
      {"[0", false},
      {"0]", false},
      {"0", false},
      {"", false},
      {"[1.5]", false},
      {"[\xff]", false},
      {"[0]\xff", false},
  };
  for (const auto& [name, slot] : cases) EXPECT_EQ(is_array_slot(name), slot) << name;
}

TEST(MappingNamesTest, Outcomes) {
  struct Case {
    Json mapping;
    std::vector<std::string> names;
  };
  const std::vector<Case> cases = {
      {{{"name", "[0]"}, {"name_mapped", "speed"}}, {"speed", "[0]"}},
      {{{"name", "[0]"}}, {"[0]"}},
      {{{"name", "['a']"}, {"name_mapped", "a_speed"}}, {"['a']", "a_speed"}},
      {{{"name", "speed"}, {"name_mapped", "Motor Speed"}}, {"speed", "Motor Speed"}},
      {{{"name_mapped", "speed"}}, {"speed"}},
      {{{"name", "[0]"}, {"name_mapped", "[0]"}}, {"[0]"}},
      {{{"name", "[ 0 ]"}, {"name_mapped", "x"}}, {"[ 0 ]", "x"}},
      {Json::object(), {}},
      // Order of the members does not matter.
      {{{"name_mapped", "speed"}, {"name", "[0]"}}, {"speed", "[0]"}},
      {{{"name", "[12]"}, {"name_mapped", "speed"}}, {"speed", "[12]"}},
      {{{"name", "[\u0663]"}, {"name_mapped", "speed"}}, {"speed", "[\u0663]"}},
      {{{"name", "[-1]"}, {"name_mapped", "speed"}}, {"[-1]", "speed"}},
      {{{"name", "['0']"}, {"name_mapped", "speed"}}, {"['0']", "speed"}},
      {{{"name", "speed"}, {"name_mapped", "speed"}}, {"speed"}},
      {{{"name", "speed"}, {"name_mapped", "Speed"}}, {"speed", "Speed"}},
      {{{"name", nullptr}, {"name_mapped", "speed"}}, {"speed"}},
      {{{"name", ""}, {"name_mapped", "speed"}}, {"speed"}},
      {{{"name", 0}, {"name_mapped", "speed"}}, {"speed"}},
      {{{"name", "[0]"}, {"name_mapped", ""}}, {"[0]"}},
      {{{"name", "[0]"}, {"name_mapped", nullptr}}, {"[0]"}},
      {Json::array({"[0]", "speed"}), {}},
      {Json("[0]"), {}},
  };
  for (const auto& [mapping, names] : cases)
    EXPECT_THAT(mapping_names(mapping), ElementsAreArray(names)) << mapping.dump();
}

}  // namespace
}  // namespace nalto
