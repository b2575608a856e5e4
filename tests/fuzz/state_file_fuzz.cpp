// Any bytes as the local platform's state file: what the platform reads of it and what `nalto sim list`
// shows of it. A state or the documented refusal (StateFileError), nothing else.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string_view>

#include "cli/sim_listing.hpp"
#include "nalto/console/console.hpp"
#include "nalto/platform/state_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  nalto::Json state;
  try {
    state = nalto::platform::detail::parse_state(text, "platform-state.json");
  } catch (const nalto::platform::StateFileError&) {
    return 0;
  }
  // What the platform writes back reads again as the same state.
  if (nalto::platform::detail::parse_state(nalto::dump_json(state) + "\n", "platform-state.json") != state)
    __builtin_trap();

  std::ostringstream out, err;
  nalto::Console console({.out = &out, .err = &err});
  const nalto::ScopedConsole installed(console);
  (void)nalto::cli::print_sim_listing(state);
  return 0;
}
