#pragma once

#include <asio/awaitable.hpp>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

#include "nalto/nalto.hpp"

namespace nalto::cli {

// How a run ended: its exit status, or the signal that interrupted it, by which the process must end.
struct Outcome {
  int exit_status = 0;
  int signal = 0;
};

// What the user reads about a failure: a PublishReportError's message, else "Error: " + the type
// name and the message.
std::string failure_text(const std::exception_ptr& failure);

// The failure's text on stderr as it stands: it may quote a sim or a server, whose brackets are no tags.
void note_failure(const std::exception_ptr& failure);

// Runs `body`, whose value is the exit status; a failure is explained on stderr and gives 1.
Outcome run_reporting(const std::function<int()>& body);

// Runs `task` on one event loop on the calling thread; its value is the exit status, a failure is
// explained on stderr and gives 1. The first SIGINT or SIGTERM notes `interrupted` (as it reads then: the
// task may change it as it goes) and cancels the task,
// whose clean-up then runs. Without `on_second`, both signals then have their default action again, so
// a second one ends the program at once. With it, a second signal runs `on_second`, which must let the
// clean-up end soon, and a third ends the program at once.
Outcome run_interruptible(asio::awaitable<int> task, const std::string& interrupted,
                          std::function<void()> on_second = {});

inline constexpr std::string_view INTERRUPTED_AGAIN =
    "Interrupted again: killing the sim (a third interruption ends nalto at once)...";

// For on_second: notes INTERRUPTED_AGAIN and kills every sim of `runtime` with its descendants, so that
// a stop waiting for a sim that ignores SIGTERM ends at once and the clean-up goes on.
std::function<void()> kill_sims(outside::SimRuntime& runtime);

}  // namespace nalto::cli
