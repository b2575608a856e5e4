// A sim's answer on any bytes, as the runtime decodes it: only our documented failures, and what the
// compute node is handed back is JSON again (no non-finite number) with the same nesting.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "nalto/runtime/spaces.hpp"
#include "nalto/support/errors.hpp"
#include "nalto/support/json.hpp"

namespace {

void check_as_compute_sees(const nalto::Json& value) {
  const nalto::Json seen = nalto::runtime::as_compute_sees(value);
  if (seen.type() != value.type() && !(value.is_number_float() && seen.is_null())) __builtin_trap();
  // A value the node cannot read back would fail the analysis request.
  if (nalto::parse_json(nalto::dump_json(seen)) != seen) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  nalto::Json value;
  try {
    value = nalto::parse_sim_json(text);
  } catch (const nalto::JSONDecodeError&) {
    return 0;
  }
  check_as_compute_sees(value);
  // The same answer taken as a space description.
  try {
    (void)nalto::runtime::convert_space_to_json(value);
    (void)nalto::runtime::to_compute_space(value)->sample();
  } catch (const nalto::Error&) {
  }
  return 0;
}
