// Console mark-up on any bytes: without colour, valid UTF-8 with no control character but line feed
// and tab; with colour, the only escape sequences are our own colours.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "nalto/console/console.hpp"
#include "nalto/support/utf8.hpp"

namespace {

bool only_our_escapes(std::string_view text) {
  static constexpr std::string_view ours[] = {"\x1b[0m", "\x1b[2m", "\x1b[31m", "\x1b[32m", "\x1b[33m"};
  for (std::size_t pos = text.find('\x1b'); pos != std::string_view::npos; pos = text.find('\x1b', pos + 1)) {
    bool known = false;
    for (std::string_view sgr : ours) known = known || text.substr(pos).starts_with(sgr);
    if (!known) return false;
  }
  return true;
}

void check_plain(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    const nalto::utf8::Step step = nalto::utf8::decode(text, pos);
    const char32_t c = step.code_point;
    if (!step.valid || (c < 0x20 && c != U'\n' && c != U'\t') || (c >= 0x7F && c <= 0x9F)) __builtin_trap();
    pos += step.length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view markup(reinterpret_cast<const char*>(data), size);
  check_plain(nalto::render_markup(markup, false));
  if (!only_our_escapes(nalto::render_markup(markup, true))) __builtin_trap();
  (void)nalto::display_width(markup);
  return 0;
}
