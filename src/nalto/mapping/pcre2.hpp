#pragma once

// Private to the mapping module: its sources include this instead of <pcre2.h>, so all agree on the
// code unit width. No public header may include it, since PCRE2 is a private dependency.
#ifndef PCRE2_CODE_UNIT_WIDTH
#define PCRE2_CODE_UNIT_WIDTH 8
#endif
#include <pcre2.h>

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace nalto::detail {

struct Pcre2CodeDeleter {
  void operator()(pcre2_code* code) const { pcre2_code_free(code); }
};
struct Pcre2MatchDataDeleter {
  void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};
using Pcre2Code = std::unique_ptr<pcre2_code, Pcre2CodeDeleter>;
using Pcre2MatchData = std::unique_ptr<pcre2_match_data, Pcre2MatchDataDeleter>;

// Our patterns are constants, so one that does not compile is a programming error.
inline Pcre2Code pcre2_compile_pattern(std::string_view pattern, std::uint32_t options) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  Pcre2Code code(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), options, &error,
                               &offset, nullptr));
  if (!code) {
    std::array<PCRE2_UCHAR, 256> message{};
    pcre2_get_error_message(error, message.data(), message.size());
    throw std::logic_error("bad pattern: " + std::string(reinterpret_cast<const char*>(message.data())));
  }
  return code;
}

// PCRE2 refuses a null subject even when it is empty.
inline PCRE2_SPTR pcre2_subject(std::string_view s) {
  return reinterpret_cast<PCRE2_SPTR>(s.empty() ? "" : s.data());
}

}  // namespace nalto::detail
