// The name identity on any bytes: valid UTF-8 without any whitespace left in it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "nalto/mapping/names.hpp"
#include "nalto/support/utf8.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string identity = nalto::normalized(std::string_view(reinterpret_cast<const char*>(data), size));
  for (std::size_t pos = 0; pos < identity.size();) {
    const nalto::utf8::Step step = nalto::utf8::decode(identity, pos);
    if (!step.valid || nalto::utf8::is_space(step.code_point)) __builtin_trap();
    pos += step.length;
  }
  return 0;
}
