#include "nalto/mapping/path.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "nalto/support/errors.hpp"

namespace nalto {
namespace {

using ::testing::HasSubstr;

// The same value and the same kind: an integer key must not come back as a float.
void expect_same(const Json& actual, const Json& expected, const std::string& text) {
  EXPECT_EQ(actual.type(), expected.type()) << text;
  EXPECT_EQ(actual, expected) << text;
}

std::string literal_error(std::string_view text) {
  try {
    parse_literal(text);
  } catch (const LiteralError& e) {
    return e.what();
  }
  return "no error";
}

TEST(LiteralTest, Integers) {
  constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t min = std::numeric_limits<std::int64_t>::min();
  const std::vector<std::pair<std::string, Json>> cases = {
      {"0", 0},
      {"00", 0},
      {"-0", 0},
      {"+0", 0},
      {"0_0", 0},
      {"12", 12},
      {"-1", -1},
      {"+7", 7},
      {"- 1", -1},
      {"-\t1", -1},
      {" \t5 \n", 5},
      {"5\r\n\v\f", 5},
      {"1_000", 1000},
      {"1_2_3", 123},
      {"9223372036854775807", max},
      {"-9223372036854775807", -max},
      {"-9223372036854775808", min},
      {"9223372036854775808", std::uint64_t{9223372036854775808u}},
      {"18446744073709551615", std::numeric_limits<std::uint64_t>::max()},
  };
  for (const auto& [text, key] : cases) expect_same(parse_literal(text), key, text);
}

TEST(LiteralTest, Floats) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<std::pair<std::string, double>> cases = {
      {"1.5", 1.5},
      {"1e3", 1000.0},
      {".5", 0.5},
      {"5.", 5.0},
      {"1E-3", 0.001},
      {"-2.5e+2", -250.0},
      {"+ .25", 0.25},
      {"0.1", 0.1},
      {"1.e2", 100.0},
      {"012.5", 12.5},
      {"00e0", 0.0},
      {"1_0.0_5", 10.05},
      {"1e1_0", 1e10},
      {"2.2250738585072014e-308", 2.2250738585072014e-308},
      {"4.9e-324", 4.9e-324},
      {"1.7976931348623157e308", 1.7976931348623157e308},
      {"1e999", inf},
      {"-1e999", -inf},
      {"1e99999999999999999999999", inf},
      {"0.0001e-999", 0.0},
      // Digits and exponent are weighed together.
      {"0." + std::string(400, '0') + "1e400", 0.1},
      {std::string(400, '0') + "1" + std::string(400, '0') + "e-400", 1.0},
  };
  for (const auto& [text, number] : cases) expect_same(parse_literal(text), number, text);

  const Json negative_zero = parse_literal("-0.0");
  ASSERT_TRUE(negative_zero.is_number_float());
  EXPECT_TRUE(std::signbit(negative_zero.get<double>()));
  const Json underflow = parse_literal("-1e-999");
  ASSERT_TRUE(underflow.is_number_float());
  EXPECT_EQ(underflow.get<double>(), 0.0);
  EXPECT_TRUE(std::signbit(underflow.get<double>()));
}

TEST(LiteralTest, Words) {
  const std::vector<std::pair<std::string, Json>> cases = {
      {"True", true}, {"False", false}, {"None", nullptr}, {"\t True \n", true}};
  for (const auto& [text, key] : cases) expect_same(parse_literal(text), key, text);
}

TEST(LiteralTest, Texts) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"'a'", "a"},
      {"\"a\"", "a"},
      {"''", ""},
      {"\"\"", ""},
      {" 'a b' \n", "a b"},
      {"'\"'", "\""},
      {"\"'\"", "'"},
      {"'\u00e9\u20ac\U0001f600'", "\u00e9\u20ac\U0001f600"},
      {"'[0]'", "[0]"},
      // Texts side by side join into one.
      {"'a' 'b'", "ab"},
      {"'a''b'", "ab"},
      {"'a'\t\"b\"", "ab"},
      // Triple quotes may hold their quote and line ends.
      {"'''a'b'''", "a'b"},
      {"\"\"\"x\ny\"\"\"", "x\ny"},
      {"'''x\r\ny\rz'''", "x\ny\nz"},
      {"''''''", ""},
  };
  for (const auto& [text, value] : cases) expect_same(parse_literal(text), value, text);
}

TEST(LiteralTest, Escapes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"(\\)", "\\"},
      {R"(\')", "'"},
      {R"(\")", "\""},
      {R"(\n\t\r)", "\n\t\r"},
      {R"(\a\b\f\v)", "\a\b\f\v"},
      {R"(\0)", std::string(1, '\0')},
      {R"(\7)", "\x07"},
      {R"(\101)", "A"},
      {R"(\1011)", "A1"},
      {R"(\18)",
       "\x01"
       "8"},
      {R"(\777)", "\u01ff"},
      {R"(\x41)", "A"},
      {R"(\xe9)", "\u00e9"},
      {R"(\xE9)", "\u00e9"},
      {R"(\x410)", "A0"},
      {R"(\u00e9)", "\u00e9"},
      {R"(\u20AC)", "\u20ac"},
      {R"(\U0001F600)", "\U0001f600"},
      {R"(\U0010FFFF)", "\U0010ffff"},
      {R"(\N{LATIN SMALL LETTER E WITH ACUTE})", "\u00e9"},
      {R"(\N{latin small letter e with acute})", "\u00e9"},
      {R"(\N{EM DASH})", "\u2014"},
      {R"(\N{CJK UNIFIED IDEOGRAPH-4E00})", "\u4e00"},
      {R"(\N{HANGUL SYLLABLE GA})", "\uac00"},
      {R"(\N{LATIN CAPITAL LETTER GHA})", "\u01a2"},  // an alias of a misnamed character
      {"a\\\nb", "ab"},
      {"a\\\r\nb", "ab"},
      // Unknown escapes keep their backslash.
      {R"(\q)", "\\q"},
      {R"(\8)", "\\8"},
      {R"(\ )", "\\ "},
      {"\\\u00e9", "\\\u00e9"},
      {R"(\\n)", "\\n"},
  };
  for (const auto& [body, value] : cases) {
    expect_same(parse_literal("'" + body + "'"), value, body);
    expect_same(parse_literal("\"\"\"" + body + "\"\"\""), value, body);
  }
}

TEST(LiteralTest, Refused) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "nothing in it"},
      {"   ", "nothing in it"},
      {" \n", "nothing in it"},
      {"x", "a bare word"},
      {"speed", "a bare word"},
      {"true", "a bare word"},
      {"Truex", "a bare word"},
      {"True\u00e9", "a bare word"},
      {"inf", "a bare word"},
      {"nan", "a bare word"},
      {"_1", "a bare word"},
      {"\u0663", "a bare word"},
      {"1 2", "unexpected text after the constant"},
      {"1,2", "unexpected text after the constant"},
      {"'a' 1", "unexpected text after the constant"},
      {"True False", "unexpected text after the constant"},
      {"0x10", "unexpected text after the constant"},
      {"0o7", "unexpected text after the constant"},
      {"1j", "unexpected text after the constant"},
      {"1.2.3", "unexpected text after the constant"},
      {"1 # note", "unexpected text after the constant"},
      {"(1)", "not a constant"},
      {"[1]", "not a constant"},
      {"{}", "not a constant"},
      {"\v1", "not a constant"},
      {"\n1", "not a constant"},
      {"-True", "a sign must be followed by a number"},
      {"--1", "a sign must be followed by a number"},
      {"-'a'", "a sign must be followed by a number"},
      {"-", "a sign must be followed by a number"},
      {"-\n1", "a sign must be followed by a number"},
      {"012", "leading zeros in a decimal integer"},
      {"-012", "leading zeros in a decimal integer"},
      {"0_1", "leading zeros in a decimal integer"},
      {"1__0", "misplaced digit separator"},
      {"1_", "misplaced digit separator"},
      {"1_.5", "misplaced digit separator"},
      {"1e", "incomplete exponent"},
      {"1e+", "incomplete exponent"},
      {"1e_1", "incomplete exponent"},
      {"99999999999999999999", "integer too large for a key"},
      {"18446744073709551616", "integer too large for a key"},
      {"-9223372036854775809", "integer too large for a key"},
      {"'a", "unterminated text"},
      {"\"a'", "unterminated text"},
      {"'a\nb'", "unterminated text"},
      {"'a\rb'", "unterminated text"},
      {"'a\\'", "unterminated text"},
      {"'a\\", "unterminated text"},
      {"'''a''", "unterminated text"},
      {"r'a'", "string prefixes are not accepted"},
      {"b'a'", "string prefixes are not accepted"},
      {"u\"a\"", "string prefixes are not accepted"},
      {"f'a'", "string prefixes are not accepted"},
      {R"('\x4')", "truncated \\xXX escape"},
      {R"('\xg0')", "truncated \\xXX escape"},
      {R"('\u12')", "truncated \\uXXXX escape"},
      {R"('\U0001F60')", "truncated \\UXXXXXXXX escape"},
      {R"('\U00110000')", "illegal Unicode character"},
      {R"('\ud800')", "a lone surrogate"},
      {R"('\ud83d\ude00')", "a lone surrogate"},
      {R"('\N{NO SUCH CHARACTER}')", "unknown Unicode character name"},
      {R"('\N{}')", "unknown Unicode character name"},
      {R"('\N')", "malformed \\N character escape"},
      {R"('\N{EM DASH')", "malformed \\N character escape"},
      {"\xff", "invalid UTF-8"},
      {"'\xc3'", "invalid UTF-8"},
      {"'\xed\xa0\x80'", "invalid UTF-8"},
      {std::string("'a\0'", 4), "a null character"},
  };
  for (const auto& [text, reason] : cases)
    EXPECT_THAT(literal_error(text), HasSubstr("(" + reason + ")")) << text;
}

TEST(LiteralTest, MessageNamesTheText) {
  EXPECT_EQ(literal_error("x"), "not a literal key: 'x' (a bare word)");
  EXPECT_EQ(literal_error("1 2"), "not a literal key: '1 2' (unexpected text after the constant)");
  EXPECT_EQ(literal_error("a\xff"), "not a literal key: 'a\ufffd' (invalid UTF-8)");
  EXPECT_EQ(literal_error(std::string("'a\0'", 4)), "not a literal key: ''a\\0'' (a null character)");
}

// Arbitrary bytes, weighted towards the characters the grammar reacts to, yield a key or a
// LiteralError and nothing else.
TEST(LiteralTest, AnyBytesParseOrFail) {
  const std::string alphabet = "0123456789_.eE+-'\"\\ \t\n\rxuUN{}TrueFalsNn[]\x80\xc3\xa9\xff";
  std::mt19937 random(20240601);
  std::uniform_int_distribution<std::size_t> length(0, 24);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  int parsed = 0;
  int refused = 0;
  for (int round = 0; round < 50000; ++round) {
    std::string text;
    for (std::size_t n = length(random); n > 0; --n) {
      text += round % 4 == 0 ? static_cast<char>(byte(random)) : alphabet[pick(random)];
    }
    try {
      parse_literal(text);
      ++parsed;
    } catch (const LiteralError&) {
      ++refused;
    } catch (const std::exception& e) {
      ADD_FAILURE() << "unexpected " << e.what() << " for " << ::testing::PrintToString(text);
    }
  }
  EXPECT_GT(parsed, 0);
  EXPECT_GT(refused, 0);
}

TEST(PathTest, Accepted) {
  const std::vector<std::pair<std::string, Json>> cases = {
      {"[0]", Json::array({0})},
      {"['a'][1]", Json::array({"a", 1})},
      {"[\"a\"]", Json::array({"a"})},
      {"[-1]", Json::array({-1})},
      {"  [0]  ", Json::array({0})},
      {"\u3000[0]\u2029\x1c", Json::array({0})},
      {"[0]\n", Json::array({0})},
      {"", Json::array()},
      {"   ", Json::array()},
      {" \t\u00a0", Json::array()},
      {"[ 0 ]", Json::array({0})},
      {"[\t0 \n]", Json::array({0})},
      {"[0][1][2]", Json::array({0, 1, 2})},
      {"['a b']['c']", Json::array({"a b", "c"})},
      {"[1.5][True][None]", Json::array({1.5, true, nullptr})},
      {"['\\u00e9']", Json::array({"\u00e9"})},
  };
  for (const auto& [name, keys] : cases) {
    const std::vector<Json> path = _path(name);
    expect_same(Json(path), keys, name);
    for (std::size_t i = 0; i < path.size() && i < keys.size(); ++i) expect_same(path[i], keys[i], name);
  }
}

TEST(PathTest, Refused) {
  const std::vector<std::string> cases = {
      "speed", "a[0]", "[0] [1]", "[0",      "[[0]]",   " speed ",
      "[0]x",  "[0]]", "]",       "[0]\xff", "\xff[0]", "[0].[1]",
  };
  for (const std::string& name : cases) {
    EXPECT_EQ(slot_keys(name), std::nullopt) << name;
    try {
      _path(name);
      ADD_FAILURE() << "accepted " << name;
    } catch (const PublishReportError& e) {
      EXPECT_EQ(std::string(e.what()), "Can't address the sim's slot '" + name + "'");
    }
  }
}

TEST(PathTest, BadKeyIsReportedBeforeTheRefusal) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[x][", "'x'"},     {"[]", "''"},          {"[1 2]", "'1 2'"}, {"speed[x]", "'x'"},
      {"[0][x]", "'x'"},   {"[x] [0]", "'x'"},    {"[012]", "'012'"}, {"[\xff]", "'\ufffd'"},
      {"['a'][b]", "'b'"}, {"[0][1,2]", "'1,2'"},
  };
  for (const auto& [name, quoted_key] : cases) {
    try {
      _path(name);
      ADD_FAILURE() << "accepted " << name;
    } catch (const LiteralError& e) {
      EXPECT_THAT(e.what(), HasSubstr("not a literal key: " + quoted_key)) << name;
    } catch (const PublishReportError& e) {
      ADD_FAILURE() << name << " refused before its key was read: " << e.what();
    }
  }
}

TEST(PathTest, RepeatedLookupsAgree) {
  for (const std::string name : {"['a'][1][2.5]", "", "[0]"}) {
    const std::optional<std::vector<Json>> first = slot_keys(name);
    ASSERT_TRUE(first.has_value()) << name;
    EXPECT_EQ(slot_keys(name), first) << name;
  }
  // A failure gives the same answer again: it is never taken for a success.
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(slot_keys("speed"), std::nullopt);
    EXPECT_THROW(slot_keys("[x]"), LiteralError);
    EXPECT_THROW(_path("a[0]"), PublishReportError);
  }
}

TEST(PathTest, ManyNamesStayCorrect) {
  // More distinct names than the cache holds at once.
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 5000; ++i) {
      const std::string name = "[" + std::to_string(i) + "]['k" + std::to_string(i) + "']";
      const std::vector<Json> keys = _path(name);
      ASSERT_EQ(keys.size(), 2u) << name;
      EXPECT_EQ(keys[0], i) << name;
      EXPECT_EQ(keys[1], "k" + std::to_string(i)) << name;
    }
  }
}

TEST(PathTest, ConcurrentLookupsAgree) {
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &wrong] {
      for (int i = 0; i < 2000; ++i) {
        const int n = (i * 7 + t) % 50;
        const std::optional<std::vector<Json>> keys = slot_keys("[" + std::to_string(n) + "]['x']");
        if (!keys || keys->size() != 2 || (*keys)[0] != n || (*keys)[1] != "x") ++wrong[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_THAT(wrong, ::testing::Each(0));
}

}  // namespace
}  // namespace nalto
