#include "nalto/mapping/path.hpp"

#include <unicode/uchar.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "nalto/mapping/pcre2.hpp"
#include "nalto/support/errors.hpp"
#include "nalto/support/hex.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto {
namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// A letter, digit or underscore, or any byte of a multi-byte character, which may be a letter too.
bool is_word_byte(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b >= 0x80 || b == '_' || is_digit(c) || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z');
}

std::optional<char> simple_escape(char e) {
  switch (e) {
    case '\\':
    case '\'':
    case '"':
      return e;
    case 'a':
      return '\a';
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    case 'v':
      return '\v';
    default:
      return std::nullopt;
  }
}

// \N{...} is case-insensitive and also knows the names' aliases.
std::optional<char32_t> character_named(std::string_view name) {
  // The longest character name has well under a hundred characters, all of them printable ASCII.
  if (name.empty() || name.size() > 128) return std::nullopt;
  std::string upper;
  for (const char c : name) {
    if (c < ' ' || c > '~') return std::nullopt;
    upper += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  for (const UCharNameChoice choice : {U_UNICODE_CHAR_NAME, U_CHAR_NAME_ALIAS}) {
    UErrorCode status = U_ZERO_ERROR;
    const UChar32 cp = u_charFromName(choice, upper.c_str(), &status);
    if (U_SUCCESS(status)) return static_cast<char32_t>(cp);
  }
  return std::nullopt;
}

class LiteralParser {
 public:
  explicit LiteralParser(std::string_view text) : text_(text) {}

  Json parse() {
    for (std::size_t at = 0; at < text_.size();) {
      const utf8::Step step = utf8::decode(text_, at);
      if (!step.valid) fail("invalid UTF-8");
      if (step.code_point == 0) fail("a null character");
      at += step.length;
    }
    skip(" \t");
    Json value;
    const char c = peek();
    if (c == '+' || c == '-') {
      ++pos_;
      skip(" \t\f");
      if (!starts_number()) fail("a sign must be followed by a number");
      value = number(c == '-');
    } else if (starts_number()) {
      value = number(false);
    } else if (c == '\'' || c == '"') {
      value = texts();
    } else if (is_word_byte(c)) {
      value = word();
    } else {
      skip(" \t\n\v\f\r");
      fail(pos_ == text_.size() ? "nothing in it" : "not a constant");
    }
    skip(" \t\n\v\f\r");
    if (pos_ != text_.size()) fail("unexpected text after the constant");
    return value;
  }

 private:
  [[noreturn]] void fail(std::string_view reason) const {
    // The message must be valid UTF-8 and must not end at a null character.
    std::string shown = utf8::sanitize(text_);
    for (std::size_t at = shown.find('\0'); at != std::string::npos; at = shown.find('\0', at)) {
      shown.replace(at, 1, "\\0");
    }
    throw LiteralError("not a literal key: '" + shown + "' (" + std::string(reason) + ")");
  }

  // The text holds no null character, so '\0' stands for "past the end".
  char peek(std::size_t ahead = 0) const { return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0'; }

  void skip(std::string_view blanks) {
    while (pos_ < text_.size() && blanks.find(text_[pos_]) != std::string_view::npos) ++pos_;
  }

  bool starts_number() const { return is_digit(peek()) || (peek() == '.' && is_digit(peek(1))); }

  // Digits with single underscores between them; the underscores dropped.
  std::string digits() {
    std::string out;
    while (is_digit(peek())) {
      out += text_[pos_++];
      if (peek() == '_') {
        if (!is_digit(peek(1))) fail("misplaced digit separator");
        ++pos_;
      }
    }
    return out;
  }

  Json number(bool negative) {
    const std::string whole = digits();
    std::string fraction;
    bool is_float = false;
    if (peek() == '.') {
      is_float = true;
      ++pos_;
      fraction = digits();
    }
    std::int64_t exponent = 0;
    if (peek() == 'e' || peek() == 'E') {
      is_float = true;
      ++pos_;
      const bool negative_exponent = peek() == '-';
      if (peek() == '+' || peek() == '-') ++pos_;
      if (!is_digit(peek())) fail("incomplete exponent");
      // Saturates far beyond any double's range, yet far from overflowing the arithmetic below.
      for (const char d : digits()) {
        exponent = std::min<std::int64_t>(exponent * 10 + (d - '0'), 1'000'000'000'000);
      }
      if (negative_exponent) exponent = -exponent;
    }
    return is_float ? Json(floating(whole, fraction, exponent, negative)) : integer(whole, negative);
  }

  Json integer(const std::string& digits, bool negative) const {
    const std::size_t significant = digits.find_first_not_of('0');
    if (significant == std::string::npos) return 0;
    if (significant > 0) fail("leading zeros in a decimal integer");
    std::uint64_t magnitude = 0;
    if (std::from_chars(digits.data(), digits.data() + digits.size(), magnitude).ec != std::errc()) {
      fail("integer too large for a key");
    }
    constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (!negative) return magnitude <= max ? Json(static_cast<std::int64_t>(magnitude)) : Json(magnitude);
    if (magnitude > max + 1) fail("integer too large for a key");
    return magnitude == max + 1 ? Json(std::numeric_limits<std::int64_t>::min())
                                : Json(-static_cast<std::int64_t>(magnitude));
  }

  static double floating(const std::string& whole, const std::string& fraction, std::int64_t exponent,
                         bool negative) {
    const std::string written = (whole.empty() ? "0" : whole) + (fraction.empty() ? "" : "." + fraction) +
                                "e" + std::to_string(exponent);
    double value = 0;
    if (std::from_chars(written.data(), written.data() + written.size(), value).ec ==
        std::errc::result_out_of_range) {
      // Too large becomes infinity and too small zero, as a double literal does.
      const std::string all = whole + fraction;
      const auto first = static_cast<std::int64_t>(all.find_first_not_of('0'));
      const std::int64_t magnitude = static_cast<std::int64_t>(whole.size()) - 1 - first + exponent;
      value = magnitude >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return negative ? -value : value;
  }

  Json word() {
    const std::size_t begin = pos_;
    while (is_word_byte(peek())) ++pos_;
    const std::string_view word = text_.substr(begin, pos_ - begin);
    if (word == "True") return true;
    if (word == "False") return false;
    if (word == "None") return nullptr;
    if (peek() == '\'' || peek() == '"') fail("string prefixes are not accepted");
    fail("a bare word");
  }

  // Quoted texts side by side join into one.
  Json texts() {
    std::string value;
    while (peek() == '\'' || peek() == '"') {
      value += quoted();
      skip(" \t\f");
    }
    return value;
  }

  std::string quoted() {
    const char quote = peek();
    const bool triple = peek(1) == quote && peek(2) == quote;
    pos_ += triple ? 3 : 1;
    const std::size_t begin = pos_;
    while (true) {
      if (pos_ >= text_.size()) fail("unterminated text");
      const char c = peek();
      if (c == quote && (!triple || (peek(1) == quote && peek(2) == quote))) break;
      if (!triple && (c == '\n' || c == '\r')) fail("unterminated text");
      // An escaped character never ends the text; a CR LF counts as one line end.
      if (c == '\\') pos_ += peek(1) == '\r' && peek(2) == '\n' ? 2 : 1;
      ++pos_;
    }
    const std::string_view body = text_.substr(begin, pos_ - begin);
    pos_ += triple ? 3 : 1;
    return unescaped(body);
  }

  std::string unescaped(std::string_view body) const {
    std::string out;
    const auto at = [&](std::size_t i) { return i < body.size() ? body[i] : '\0'; };
    std::size_t i = 0;
    // The hexadecimal escapes: exactly `count` digits after the escape's letter.
    const auto hex = [&](std::size_t count, std::string_view truncated) {
      char32_t value = 0;
      for (std::size_t k = 0; k < count; ++k) {
        const int digit = hex_value(at(i + 2 + k));
        if (digit < 0) fail(truncated);
        value = value * 16 + static_cast<char32_t>(digit);
      }
      i += 2 + count;
      return value;
    };
    while (i < body.size()) {
      const char c = body[i];
      if (c == '\r') {
        out += '\n';
        i += at(i + 1) == '\n' ? 2 : 1;
        continue;
      }
      if (c != '\\') {
        out += c;
        ++i;
        continue;
      }
      const char e = at(i + 1);
      if (const std::optional<char> plain = simple_escape(e)) {
        out += *plain;
        i += 2;
        continue;
      }
      char32_t cp = 0;
      switch (e) {
        case '\n':
          i += 2;
          continue;
        case '\r':
          i += at(i + 2) == '\n' ? 3 : 2;
          continue;
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7': {
          ++i;
          for (int k = 0; k < 3 && at(i) >= '0' && at(i) <= '7'; ++k, ++i) {
            cp = cp * 8 + static_cast<char32_t>(at(i) - '0');
          }
          break;
        }
        case 'x':
          cp = hex(2, "truncated \\xXX escape");
          break;
        case 'u':
          cp = hex(4, "truncated \\uXXXX escape");
          break;
        case 'U':
          cp = hex(8, "truncated \\UXXXXXXXX escape");
          break;
        case 'N': {
          const std::size_t close = body.find('}', i + 2);
          if (at(i + 2) != '{' || close == std::string_view::npos) fail("malformed \\N character escape");
          const std::optional<char32_t> named = character_named(body.substr(i + 3, close - i - 3));
          if (!named) fail("unknown Unicode character name");
          cp = *named;
          i = close + 1;
          break;
        }
        default:
          // An unknown escape keeps its backslash; the character after it is read as usual.
          out += '\\';
          ++i;
          continue;
      }
      if (cp > 0x10FFFF) fail("illegal Unicode character");
      if (cp >= 0xD800 && cp <= 0xDFFF) fail("a lone surrogate");
      utf8::append(out, cp);
    }
    return out;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

// Brackets are ASCII and never part of a multi-byte character, so matching bytes finds the same
// brackets as matching characters would, and still works on a name with invalid UTF-8, whose
// bracket text the literal parser then refuses.
const pcre2_code* bracket() {
  static const detail::Pcre2Code code = detail::pcre2_compile_pattern(R"(\[([^\[\]]*)\])", 0);
  return code.get();
}

struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// Slot names repeat for every step of every episode; parsing them once keeps a lookup cheap.
class KeyCache {
 public:
  SlotKeys find(std::string_view name) {
    const std::lock_guard lock(mutex_);
    const auto it = keys_.find(name);
    return it == keys_.end() ? nullptr : it->second;
  }

  void store(std::string_view name, SlotKeys keys) {
    const std::lock_guard lock(mutex_);
    if (keys_.size() >= LIMIT) keys_.clear();
    keys_.emplace(name, std::move(keys));
  }

 private:
  static constexpr std::size_t LIMIT = 4096;
  std::mutex mutex_;
  std::unordered_map<std::string, SlotKeys, NameHash, std::equal_to<>> keys_;
};

KeyCache& key_cache() {
  static KeyCache cache;
  return cache;
}

}  // namespace

Json parse_literal(std::string_view text) {
  return LiteralParser(text).parse();
}

SlotKeys shared_slot_keys(std::string_view name) {
  if (SlotKeys cached = key_cache().find(name)) return cached;

  thread_local const detail::Pcre2MatchData data(pcre2_match_data_create_from_pattern(bracket(), nullptr));
  const PCRE2_SPTR subject = detail::pcre2_subject(name);
  const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data.get());

  std::vector<Json> keys;
  std::string rebuilt;
  // Every bracket is parsed before the name as a whole is checked, so a bad key is reported as such.
  for (PCRE2_SIZE start = 0; pcre2_match(bracket(), subject, name.size(), start, 0, data.get(), nullptr) > 0;
       start = ovector[1]) {
    keys.push_back(parse_literal(name.substr(ovector[2], ovector[3] - ovector[2])));
    rebuilt += name.substr(ovector[0], ovector[1] - ovector[0]);
  }
  if (rebuilt != utf8::trim(name)) return nullptr;

  auto shared = std::make_shared<const std::vector<Json>>(std::move(keys));
  key_cache().store(name, shared);
  return shared;
}

std::optional<std::vector<Json>> slot_keys(std::string_view name) {
  const SlotKeys keys = shared_slot_keys(name);
  if (!keys) return std::nullopt;
  return *keys;
}

SlotKeys shared_path(std::string_view name) {
  SlotKeys keys = shared_slot_keys(name);
  if (!keys) throw PublishReportError("Can't address the sim's slot '" + std::string(name) + "'");
  return keys;
}

std::vector<Json> _path(std::string_view name) {
  return *shared_path(name);
}

}  // namespace nalto
