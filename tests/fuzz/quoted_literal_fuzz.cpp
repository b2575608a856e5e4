// Quoted names on any bytes: one pair of quotes around valid UTF-8 with no raw control character.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "nalto/mapping/plan.hpp"
#include "nalto/support/utf8.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string quoted =
      nalto::quoted_literal(std::string_view(reinterpret_cast<const char*>(data), size));
  if (quoted.size() < 2 || (quoted.front() != '\'' && quoted.front() != '"') ||
      quoted.back() != quoted.front())
    __builtin_trap();
  for (std::size_t pos = 0; pos < quoted.size();) {
    const nalto::utf8::Step step = nalto::utf8::decode(quoted, pos);
    if (!step.valid || step.code_point < 0x20 || (step.code_point >= 0x7F && step.code_point <= 0x9F))
      __builtin_trap();
    pos += step.length;
  }
  return 0;
}
