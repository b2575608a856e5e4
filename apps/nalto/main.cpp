#include <sys/prctl.h>

#include <csignal>
#include <cstdio>
#include <iostream>

#include "cli/cli.hpp"
#include "nalto/runtime/grpc_sim_runtime.hpp"
#include "nalto/support/http.hpp"

int main(int argc, char** argv) {
  // Not dumpable, its /proc pages (environ, mem) are root's: a sim running as the same user cannot read
  // the compute node's token from them. Its children are dumpable again once they exec.
  ::prctl(PR_SET_DUMPABLE, 0);
  auto parsed = nalto::cli::parse_command_line(argc, argv);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  nalto::init_http();

  nalto::cli::Outcome outcome;
  try {
    nalto::runtime::GrpcSimRuntime runtime;
    outcome = nalto::cli::run(std::get<nalto::cli::Command>(parsed), runtime);
  } catch (...) {
    nalto::cli::note_failure(std::current_exception());
    return 1;
  }
  if (outcome.signal) {
    // The process ends by the signal, so that its parent sees the interruption; nothing is flushed then.
    std::cout.flush();
    std::fflush(nullptr);
    std::signal(outcome.signal, SIG_DFL);
    std::raise(outcome.signal);
  }
  return outcome.exit_status;
}
