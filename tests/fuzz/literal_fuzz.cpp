// The literal parser and the slot paths on any bytes: keys or their documented failures, nothing else.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "nalto/mapping/path.hpp"
#include "nalto/support/errors.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    (void)nalto::parse_literal(text);
  } catch (const nalto::LiteralError&) {
  }
  try {
    const auto keys = nalto::slot_keys(text);
    const auto again = nalto::slot_keys(text);  // the cached answer must be the same
    if (keys != again) __builtin_trap();
  } catch (const nalto::LiteralError&) {
  }
  try {
    (void)nalto::_path(text);
  } catch (const nalto::LiteralError&) {
  } catch (const nalto::PublishReportError&) {
  }
  return 0;
}
