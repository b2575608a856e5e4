#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <asio/error.hpp>
#include <asio/multiple_exceptions.hpp>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "nalto/support/errors.hpp"
#include "nalto/support/json.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto {
namespace {

TEST(PlainTextTest, Doubles) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<std::pair<double, std::string>> cases = {
      {87.5, "87.5"},
      {100.0, "100.0"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {0.1, "0.1"},
      {1e-4, "0.0001"},
      {1e-5, "1e-05"},
      {100000.0, "100000.0"},
      {1e16, "1e+16"},
      {1.5e16, "1.5e+16"},
      {9999999999999998.0, "9999999999999998.0"},
      {-2.5, "-2.5"},
      {1.0 / 3, "0.3333333333333333"},
      {123456.789, "123456.789"},
      {1e100, "1e+100"},
      {5e-324, "5e-324"},
      {inf, "inf"},
      {-inf, "-inf"},
      {std::nan(""), "nan"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(plain_text(value), text) << text;
}

TEST(PlainTextTest, Values) {
  EXPECT_EQ(plain_text(Json("text")), "text");
  EXPECT_EQ(plain_text(Json(-12)), "-12");
  EXPECT_EQ(plain_text(Json(std::uint64_t{18446744073709551615u})), "18446744073709551615");
  EXPECT_EQ(plain_text(Json(3.0)), "3.0");
  EXPECT_EQ(plain_text(Json(true)), "True");
  EXPECT_EQ(plain_text(Json(nullptr)), "None");
  EXPECT_EQ(plain_text(Json::parse(R"({"b":1,"a":[2]})")), R"({"b":1,"a":[2]})");
}

TEST(MemberTest, SubscriptAndLookup) {
  const Json j = Json::parse(R"({"n_rows": 3, "gone": null, "list": [1, 2, 3]})");
  EXPECT_EQ(subscript(j, "n_rows"), 3);
  EXPECT_TRUE(subscript(j, "gone").is_null()) << "present, even when null";
  try {
    subscript(j, "episodes");
    FAIL();
  } catch (const KeyError& e) {
    EXPECT_STREQ(e.what(), "'episodes'");
  }
  EXPECT_THROW(subscript(Json::array(), "x"), TypeError);
  EXPECT_THROW(subscript(Json(3), "x"), TypeError);

  EXPECT_EQ(*lookup(j, "n_rows"), 3);
  EXPECT_EQ(lookup(j, "gone"), nullptr);
  EXPECT_EQ(lookup(j, "missing"), nullptr);
  EXPECT_THROW(lookup(Json("text"), "x"), TypeError);

  const Json& list = subscript(j, "list");
  EXPECT_EQ(subscript(list, 0), 1);
  EXPECT_EQ(subscript(list, -1), 3);
  EXPECT_THROW(subscript(list, 3), IndexError);
  EXPECT_THROW(subscript(list, -4), IndexError);
  EXPECT_THROW(subscript(j, 0), TypeError);
}

TEST(MemberTest, TruthValues) {
  for (const char* yes : {"true", "1", "-1", "0.5", "\"x\"", "[0]", "{\"a\":null}"})
    EXPECT_TRUE(truthy(Json::parse(yes))) << yes;
  for (const char* no : {"false", "0", "0.0", "\"\"", "[]", "{}", "null"})
    EXPECT_FALSE(truthy(Json::parse(no))) << no;
}

TEST(MemberTest, ParseAndDump) {
  EXPECT_THROW(parse_json("<html>"), JSONDecodeError);
  EXPECT_THROW(parse_json(""), JSONDecodeError);
  EXPECT_EQ(parse_json(R"({"z":1,"a":2})").dump(), R"({"z":1,"a":2})") << "member order kept";
  EXPECT_EQ(dump_json(Json("a\xff"
                           "b")),
            "\"a\xef\xbf\xbd"
            "b\"");
}

TEST(ErrorsTest, TypeNames) {
  EXPECT_EQ(type_name_of(KeyError("'k'")), "KeyError");
  EXPECT_EQ(type_name_of(HTTPStatusError(500, "x")), "HTTPStatusError");
  EXPECT_EQ(type_name_of(PublishReportError("x")), "PublishReportError");
  EXPECT_EQ(type_name_of(std::runtime_error("x")), "runtime_error");
  EXPECT_EQ(type_name_of(std::system_error(asio::error::operation_aborted)), "system_error");
  try {
    (void)Json::parse("{").size();
  } catch (const std::exception& e) {
    EXPECT_EQ(type_name_of(e), "parse_error");
  }
}

TEST(ErrorsTest, Cancellation) {
  const auto aborted = std::make_exception_ptr(std::system_error(asio::error::operation_aborted));
  EXPECT_TRUE(is_cancellation(aborted));
  EXPECT_TRUE(is_cancellation(std::make_exception_ptr(asio::multiple_exceptions(aborted))));
  EXPECT_FALSE(is_cancellation(std::make_exception_ptr(std::system_error(asio::error::connection_refused))));
  EXPECT_FALSE(is_cancellation(std::make_exception_ptr(TimeoutError(""))));
  EXPECT_FALSE(is_cancellation(std::make_exception_ptr(42)));
  EXPECT_FALSE(is_cancellation(nullptr));
}

TEST(Utf8Test, PrefixNeverCutsASequence) {
  EXPECT_EQ(utf8::prefix("aé€😀b", 4), "aé€😀");
  EXPECT_EQ(utf8::prefix("aé", 10), "aé");
  EXPECT_EQ(utf8::prefix("\xff\xfe"
                         "ab",
                         3),
            "\xff\xfe"
            "a")
      << "an invalid byte counts as one";
  EXPECT_EQ(utf8::prefix("\xe2\x82", 1), "\xe2") << "a truncated sequence is cut bytewise";
}

TEST(Utf8Test, SanitizeAndTrim) {
  EXPECT_EQ(utf8::sanitize("ok é"), "ok é");
  EXPECT_EQ(utf8::sanitize("a\xc3(\xed\xa0\x80z"), "a\uFFFD(\uFFFD\uFFFD\uFFFDz")
      << "overlong and surrogates too";
  EXPECT_EQ(utf8::trim("\u3000\t x y \u2029\x1f"), "x y");
  EXPECT_EQ(utf8::trim(" \u200b "), "\u200b") << "a zero-width space is no whitespace";
  EXPECT_EQ(utf8::trim("\u00a0\u0085"), "");
}

TEST(ParseSimJsonTest, ReadsNonFiniteTokensOutsideTextsOnly) {
  const Json value = parse_sim_json(R"([[NaN, Infinity, -Infinity, 1], "NaN", {"x": "-Infinity"}])");
  ASSERT_TRUE(value[0][0].is_number_float());
  EXPECT_TRUE(std::isnan(value[0][0].get<double>()));
  EXPECT_EQ(value[0][1].get<double>(), INFINITY);
  EXPECT_EQ(value[0][2].get<double>(), -INFINITY);
  EXPECT_EQ(value[0][3], 1);
  EXPECT_EQ(value[1], "NaN");
  EXPECT_EQ(value[2]["x"], "-Infinity");
  EXPECT_EQ(parse_sim_json(R"(["a \" NaN"])"), Json::array({"a \" NaN"}));
  EXPECT_THROW(parse_sim_json("<html>busy</html>"), JSONDecodeError);
  EXPECT_THROW(parse_sim_json("[Nan]"), JSONDecodeError);
}

TEST(ParseJsonTest, RefusesNestingBeyondTheLimitWhateverTheShape) {
  const auto nested = [](std::size_t depth, char open, char close, const std::string& inner) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i)
      text += open == '{' ? std::string("{\"k\":") : std::string(1, open);
    return text + inner + std::string(depth, close);
  };
  EXPECT_EQ(parse_json(nested(MAX_JSON_DEPTH, '[', ']', "1")).dump().size(), 2 * MAX_JSON_DEPTH + 1);
  EXPECT_NO_THROW(parse_json(nested(MAX_JSON_DEPTH, '{', '}', "1")));
  const std::vector<std::string> too_deep = {
      nested(MAX_JSON_DEPTH + 1, '[', ']', "1"),
      nested(MAX_JSON_DEPTH + 1, '{', '}', "[]"),
      // Far deeper than any stack takes, and well-formed with another member after it.
      R"({"validation_run_id": )" + nested(100000, '[', ']', "") + R"(, "episodes": []})",
      // Unbalanced: refused for its depth before its end is seen.
      std::string(1000000, '['),
  };
  for (const std::string& text : too_deep) {
    EXPECT_THROW(parse_json(text), NestedTooDeepError) << text.substr(0, 40);
    EXPECT_THROW(parse_sim_json(text + " NaN"), JSONDecodeError) << text.substr(0, 40);
  }
  try {
    parse_json(too_deep[0]);
  } catch (const UnparsedJSONError& e) {
    EXPECT_EQ(e.text(), too_deep[0]) << "the text is kept for the message";
    EXPECT_EQ(e.type_name(), "JSONDecodeError");
  }
}

TEST(ParseJsonTest, NumbersBeyondADoubleAreNotJsonButAJsonDecodeError) {
  for (const char* text : {"1e400", "[-1e400]", "{\"x\": 1e999}"}) {
    EXPECT_THROW(parse_json(text), JSONDecodeError) << text;
    EXPECT_THROW(parse_sim_json(text), JSONDecodeError) << text;
  }
  EXPECT_EQ(parse_json("[1e308, 18446744073709551615, -9223372036854775808]").size(), 3u);
}

TEST(ParseJsonTest, ANulByteAnywhereIsNoJsonRatherThanTheEndOfTheText) {
  using namespace std::string_literals;
  for (const std::string& text :
       {"{\"a\": 1}\0{\"b\": 2}"s, "[1]\0"s, "\0[1]"s, "[1,\0 2]"s, "\"a\0b\""s, "7\0garbage"s}) {
    try {
      parse_json(text);
      ADD_FAILURE() << "accepted: " << text.size() << " bytes";
    } catch (const UnparsedJSONError& e) {
      EXPECT_EQ(e.text(), text) << "the text is kept whole";
    }
    EXPECT_THROW(parse_sim_json(text), JSONDecodeError);
  }
  EXPECT_EQ(parse_json(R"(["\u0000"])"), Json::array({std::string(1, '\0')})) << "an escaped NUL is a text's";
}

TEST(EchoTest, AUsersValueIsEchoedWholeUpToTheLimitAndCutOnACharacterBeyond) {
  struct Case {
    std::string value;
    std::string echoed;
  };
  const std::string e_acute = "é";
  std::string two_hundred_e_acute;
  for (int i = 0; i < 200; ++i) two_hundred_e_acute += e_acute;
  const std::vector<Case> cases = {
      {"heated-room-demo", "heated-room-demo"},
      {"", ""},
      {std::string(200, 'x'), std::string(200, 'x')},
      {std::string(201, 'x'), std::string(200, 'x') + "… (201 characters)"},
      {std::string(100000, 'x'), std::string(200, 'x') + "… (100000 characters)"},
      {two_hundred_e_acute + "é", two_hundred_e_acute + "… (201 characters)"},
      {std::string(199, 'x') + "\xff\xfe", std::string(199, 'x') + "\xff… (201 characters)"},
  };
  for (const Case& c : cases) EXPECT_EQ(utf8::echo(c.value), c.echoed) << c.value.size() << " bytes";
  EXPECT_EQ(utf8::echo("abcdef", 3), "abc… (6 characters)");
}

TEST(TextStartTest, CutsLongTextsAtACharacter) {
  EXPECT_EQ(utf8::text_start("short"), "short");
  EXPECT_EQ(utf8::text_start("ééééé", 3), "ééé...");
}

}  // namespace
}  // namespace nalto
