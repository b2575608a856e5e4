#include "nalto/mapping/names.hpp"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "nalto/mapping/pcre2.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto {
namespace {

using detail::pcre2_compile_pattern;
using detail::pcre2_subject;
using detail::Pcre2Code;
using detail::Pcre2MatchData;

// PCRE2's \s under UCP misses U+001C-U+001F, so the whitespace of utf8::is_space is spelled out.
const pcre2_code* whitespace_run() {
  static const Pcre2Code code = pcre2_compile_pattern(
      R"([\x{9}-\x{d}\x{1c}-\x{20}\x{85}\x{a0}\x{1680}\x{2000}-\x{200a}\x{2028}\x{2029}\x{202f}\x{205f}\x{3000}]+)",
      PCRE2_UTF | PCRE2_UCP);
  return code.get();
}

const pcre2_code* array_slot() {
  static const Pcre2Code code =
      pcre2_compile_pattern(R"(\[\d+\])", PCRE2_UTF | PCRE2_UCP | PCRE2_ANCHORED | PCRE2_ENDANCHORED);
  return code.get();
}

}  // namespace

std::string normalized(std::string_view name) {
  // ICU and PCRE2 must never see invalid UTF-8.
  const std::string clean = utf8::sanitize(name);
  const std::string_view trimmed = utf8::trim(clean);
  if (trimmed.empty()) return {};

  std::string lower;
  icu::UnicodeString::fromUTF8(icu::StringPiece(trimmed.data(), static_cast<int32_t>(trimmed.size())))
      .toLower(icu::Locale::getRoot())
      .toUTF8String(lower);

  // Every run of at least one byte becomes one byte, so the result never outgrows the input.
  std::string out(lower.size() + 1, '\0');
  PCRE2_SIZE length = out.size();
  // Compiled patterns are shared between threads; match data is not.
  thread_local const Pcre2MatchData data(pcre2_match_data_create_from_pattern(whitespace_run(), nullptr));
  const int rc = pcre2_substitute(whitespace_run(), pcre2_subject(lower), lower.size(), 0,
                                  PCRE2_SUBSTITUTE_GLOBAL | PCRE2_NO_UTF_CHECK, data.get(), nullptr,
                                  reinterpret_cast<PCRE2_SPTR>("_"), 1,
                                  reinterpret_cast<PCRE2_UCHAR*>(out.data()), &length);
  if (rc < 0) throw std::logic_error("whitespace substitution failed: " + std::to_string(rc));
  out.resize(length);
  return out;
}

std::optional<std::string> _field(const Json& mapping, std::string_view key) {
  if (!mapping.is_object()) return std::nullopt;
  const auto it = mapping.find(key);
  if (it == mapping.end() || !it->is_string()) return std::nullopt;
  std::string value = it->get<std::string>();
  if (value.empty()) return std::nullopt;
  return value;
}

std::vector<std::string> mapping_names(const Json& mapping) {
  const std::optional<std::string> name = _field(mapping, "name");
  const std::optional<std::string> mapped = _field(mapping, "name_mapped");
  const std::optional<std::string>& first = name && mapped && is_array_slot(*name) ? mapped : name;

  std::vector<std::string> names;
  for (const std::optional<std::string>* candidate : {&first, &mapped, &name}) {
    if (*candidate && std::find(names.begin(), names.end(), **candidate) == names.end()) {
      names.push_back(**candidate);
    }
  }
  return names;
}

bool is_array_slot(std::string_view name) {
  thread_local const Pcre2MatchData data(pcre2_match_data_create_from_pattern(array_slot(), nullptr));
  // A name with invalid UTF-8 is no array slot: the match reports the invalid subject as an error.
  return pcre2_match(array_slot(), pcre2_subject(name), name.size(), 0, 0, data.get(), nullptr) >= 0;
}

}  // namespace nalto
