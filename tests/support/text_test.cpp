#include <gtest/gtest.h>

#include <string>

#include "nalto/mapping/path.hpp"
#include "nalto/support/hex.hpp"
#include "nalto/support/strings.hpp"

namespace nalto {
namespace {

TEST(HexTest, LowerRoundTripsEveryByte) {
  std::string bytes;
  for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
  const std::string text = hex_lower(bytes);
  ASSERT_EQ(text.size(), 512u);
  EXPECT_EQ(text.substr(0, 6), "000102");
  EXPECT_EQ(text.substr(506), "fdfeff");
  EXPECT_TRUE(is_hex(text, 512));
  std::string decoded;
  for (std::size_t i = 0; i < text.size(); i += 2)
    decoded += static_cast<char>(hex_value(text[i]) * 16 + hex_value(text[i + 1]));
  EXPECT_EQ(decoded, bytes);
}

TEST(HexTest, ValueOfEitherCase) {
  EXPECT_EQ(hex_value('0'), 0);
  EXPECT_EQ(hex_value('a'), 10);
  EXPECT_EQ(hex_value('F'), 15);
  EXPECT_EQ(hex_value('g'), -1);
  EXPECT_EQ(hex_value('/'), -1);
  EXPECT_EQ(hex_value(':'), -1);
  EXPECT_EQ(hex_value('@'), -1);
  EXPECT_EQ(hex_value('`'), -1);
}

TEST(HexTest, IsHexNeedsExactlyTheDigits) {
  EXPECT_TRUE(is_hex("09afAF", 6));
  EXPECT_FALSE(is_hex("09afAF", 5));
  EXPECT_FALSE(is_hex("09afA", 6));
  EXPECT_FALSE(is_hex("09agAF", 6));
  EXPECT_TRUE(is_hex("", 0));
}

TEST(HexTest, AppendPadsToTheDigits) {
  std::string out;
  append_hex(out, 0x7, 2);
  append_hex(out, 0x202A, 4);
  append_hex(out, 0x1F600, 8);
  EXPECT_EQ(out, "07202a0001f600");
}

TEST(PercentEncodeTest, KeepsOnlyUnreservedCharacters) {
  EXPECT_EQ(percent_encode("AZaz09-._~"), "AZaz09-._~");
  EXPECT_EQ(percent_encode("a b/c?ä%"), "a%20b%2Fc%3F%C3%A4%25");
  EXPECT_EQ(percent_encode(std::string("\0\xff", 2)), "%00%FF");
}

TEST(QuotingTest, SingleQuotedKeepsTheText) {
  EXPECT_EQ(single_quoted("n_rows"), "'n_rows'");
  EXPECT_EQ(single_quoted("it's"), "'it's'");
}

TEST(QuotingTest, EscapedTextReadsBackAsTheSameText) {
  for (const std::string text : {"plain", "it's", "back\\slash", "\\'", "'", ""}) {
    const std::string quoted = single_quoted_escaped(text);
    EXPECT_EQ(parse_literal(quoted), text) << quoted;
  }
  EXPECT_EQ(single_quoted_escaped("a'b\\c"), "'a\\'b\\\\c'");
}

}  // namespace
}  // namespace nalto
