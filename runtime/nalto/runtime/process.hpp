#pragma once

#include <asio/awaitable.hpp>
#include <functional>
#include <memory>
#include <string>

#include "nalto/outside/sim_runtime.hpp"
#include "nalto/support/json.hpp"

namespace nalto::runtime {

// A TCP port on 127.0.0.1 that was free a moment ago; std::system_error when none can be had.
int free_port();

// Starts the sim at `path`: an executable file, or a folder whose sim.json holds {"command": [texts]}.
// It runs in its own folder and process group with `--host HOST --port PORT` appended, this process's
// environment plus the members of `env`, and dies with this process. Its stdout and stderr lines, in
// the order written, go to `on_output` on the event loop; all it wrote before exiting has been handed
// over when wait() returns, and nothing is handed over once the handle is destroyed (which kills the
// group). On_output must not destroy the handle.
// A path that is no sim or a bad sim.json: ValueError; a command that cannot be executed:
// std::system_error "cannot start ...".
asio::awaitable<std::unique_ptr<outside::SimProcess>> start_sim_process(
    std::string path, std::string host, int port, Json env, std::function<void(std::string)> on_output);

// The end of a sim's output for an error message: its last 40 lines, at most 4,000 bytes (cut at a
// line start, or inside an overlong last line between UTF-8 sequences); empty when it is only whitespace.
std::string tail(const std::string& output);

}  // namespace nalto::runtime
