#pragma once

#include <asio/awaitable.hpp>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "nalto/outside/sim_runtime.hpp"
#include "nalto/support/json.hpp"

namespace nalto::runtime {

// A TCP port on 127.0.0.1 that was free a moment ago; std::system_error when none can be had.
int free_port();

// Of a longer output line only its last MAX_LINE_BYTES are handed over (cut between UTF-8 sequences).
inline constexpr std::size_t MAX_LINE_BYTES = 64 * 1024;

// A started sim: the process the tool waits for, and how it is isolated.
class SimChildProcess : public outside::SimProcess {
 public:
  virtual const outside::SimIsolation& isolation() const = 0;
};

// Starts the sim at `path`: an executable file, a folder whose sim.json holds {"command": [texts]}, or an
// FMU (a file named *.fmu), which runs as `nalto-fmu-sim FMU` from beside this executable, or from the
// path NALTO_FMU_SIM names (ValueError when there is no executable there).
// It runs in its own folder and in a session of its own (so with no controlling terminal) with
// `--host HOST --port PORT` appended, this process's environment without NALTO_COMPUTE_TOKEN and
// NALTO_COMPUTE_URL plus the members of `env`, and no other descriptor than its stdio. Its stdout and
// stderr lines, in the order written, go to `on_output` on the event loop, read a bounded amount per
// turn of the loop; all it wrote before exiting has been handed over when wait() returns, and nothing
// is handed over once the handle is destroyed. On_output must not destroy the handle.
//
// Where the kernel allows (as root, or through a user namespace of its own), the sim runs in a PID
// namespace of its own with a /proc of its own, under our init (runtime/init/), which passes terminate()'s
// SIGTERM on to the sim's process group and hands back the sim's exact exit code or signal: when the
// sim ends, is killed, or this process dies (even by SIGKILL), the kernel ends everything in the
// namespace. Elsewhere, and when NALTO_TEST_NO_PID_NAMESPACE is set (for tests), the sim is this
// process's child and dies with it; when it has exited, is killed or its handle is destroyed, every
// process that descends from it is stopped (SIGSTOP, until a scan finds none new), then killed and
// reaped: this process becomes a child subreaper at the first start, so that orphans of a sim come to
// it. While other sims run, an orphan that left its sim's session cannot be told apart and is ended
// with the last of them. Killed with SIGKILL, this process then ends nothing: the kernel kills the sim
// (its parent-death signal), while its descendants live on, re-parented to init.
// A path that is no sim or a bad sim.json: ValueError; a command that cannot be executed:
// std::system_error "cannot start ...".
asio::awaitable<std::unique_ptr<SimChildProcess>> start_sim_process(
    std::string path, std::string host, int port, Json env, std::function<void(std::string)> on_output);

// The end of a sim's output for an error message: its last 40 lines, at most 4,000 bytes (cut at a
// line start, or inside an overlong last line between UTF-8 sequences); empty when it is only whitespace.
std::string tail(const std::string& output);

}  // namespace nalto::runtime
