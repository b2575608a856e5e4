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

}  // namespace nalto
