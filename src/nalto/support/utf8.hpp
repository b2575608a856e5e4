#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace nalto::utf8 {

inline constexpr char32_t REPLACEMENT = U'\uFFFD';

// One step of decoding: the code point at `pos` and the bytes it spans. An invalid or truncated
// sequence decodes as REPLACEMENT spanning one byte, so a walk never stalls and never cuts a valid
// sequence.
struct Step {
  char32_t code_point;
  std::size_t length;
  bool valid;
};
Step decode(std::string_view s, std::size_t pos);

void append(std::string& out, char32_t cp);

// The Unicode whitespace: U+0009-000D, U+001C-0020, U+0085, U+00A0, U+1680, U+2000-200A, U+2028,
// U+2029, U+202F, U+205F, U+3000.
bool is_space(char32_t cp);

// `s` without leading and trailing whitespace (is_space).
std::string_view trim(std::string_view s);

// The first `n` code points of `s` (invalid bytes count as one each).
std::string_view prefix(std::string_view s, std::size_t n);

// The start of a text for a message: at most `limit` code points, with "..." when cut.
std::string text_start(std::string_view text, std::size_t limit = 60);

// How much of a user's value a message echoes: a name, an id or a path reads whole, while a value of
// 100 kB would bury the message.
inline constexpr std::size_t ECHO_LIMIT = 200;

// A user's value as a message echoes it: whole up to `limit` code points, else its first `limit` code
// points, "…" and its whole length: "abc… (100000 characters)".
std::string echo(std::string_view value, std::size_t limit = ECHO_LIMIT);

// `s` with every invalid byte replaced by U+FFFD.
std::string sanitize(std::string_view s);

}  // namespace nalto::utf8
