#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace nalto {

inline std::string join(const std::vector<std::string>& texts, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i) out += separator;
    out += texts[i];
  }
  return out;
}

// 'text', as messages name a key or a name; nothing inside is escaped.
inline std::string single_quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '\'';
  out += text;
  out += '\'';
  return out;
}

// 'text' with a backslash before every backslash and single quote, so the literal parser reads
// the text back.
inline std::string single_quoted_escaped(std::string_view text) {
  std::string out = "'";
  for (const char c : text) {
    if (c == '\\' || c == '\'') out += '\\';
    out += c;
  }
  out += '\'';
  return out;
}

}  // namespace nalto
