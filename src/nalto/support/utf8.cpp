#include "nalto/support/utf8.hpp"

namespace nalto::utf8 {

Step decode(std::string_view s, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b0 = byte(pos);
  if (b0 < 0x80) return {b0, 1, true};

  std::size_t len = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return {REPLACEMENT, 1, false};
  }
  if (pos + len > s.size()) return {REPLACEMENT, 1, false};
  for (std::size_t i = 1; i < len; ++i) {
    const unsigned char b = byte(pos + i);
    if ((b & 0xC0) != 0x80) return {REPLACEMENT, 1, false};
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {REPLACEMENT, 1, false};
  return {cp, len, true};
}

void append(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool is_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x20) || cp == 0x85 || cp == 0xA0 ||
         cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

std::string_view trim(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    const Step step = decode(s, begin);
    if (!step.valid || !is_space(step.code_point)) break;
    begin += step.length;
  }
  // Walk forward and remember where the last non-space ended: UTF-8 cannot be decoded backwards safely
  // when it may be invalid.
  std::size_t end = begin;
  for (std::size_t pos = begin; pos < s.size();) {
    const Step step = decode(s, pos);
    pos += step.length;
    if (!step.valid || !is_space(step.code_point)) end = pos;
  }
  return s.substr(begin, end - begin);
}

std::string_view prefix(std::string_view s, std::size_t n) {
  std::size_t pos = 0;
  for (std::size_t count = 0; count < n && pos < s.size(); ++count) pos += decode(s, pos).length;
  return s.substr(0, pos);
}

std::string sanitize(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t pos = 0; pos < s.size();) {
    const Step step = decode(s, pos);
    if (step.valid) {
      out.append(s.substr(pos, step.length));
    } else {
      append(out, REPLACEMENT);
    }
    pos += step.length;
  }
  return out;
}

std::string text_start(std::string_view text, std::size_t limit) {
  const std::string_view start = prefix(text, limit);
  if (start.size() == text.size()) return std::string(text);
  return std::string(start) + "...";
}

std::string echo(std::string_view value, std::size_t limit) {
  const std::string_view start = prefix(value, limit);
  if (start.size() == value.size()) return std::string(value);
  std::size_t characters = 0;
  for (std::size_t pos = 0; pos < value.size(); pos += decode(value, pos).length) ++characters;
  return std::string(start) + "… (" + std::to_string(characters) + " characters)";
}

}  // namespace nalto::utf8
