#include "cli/outcome.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <csignal>

namespace nalto::cli {

std::string failure_text(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const PublishReportError& e) {
    return e.what();
  } catch (const std::exception& e) {
    const std::string message = e.what();
    return "Error: " + type_name_of(e) + (message.empty() ? "" : ": " + message);
  } catch (...) {
    return "Error: unknown error";
  }
}

void note_failure(const std::exception_ptr& failure) {
  console().note(markup_literal(failure_text(failure)));
}

Outcome run_reporting(const std::function<int()>& body) {
  try {
    return {.exit_status = body()};
  } catch (...) {
    note_failure(std::current_exception());
    return {.exit_status = 1};
  }
}

std::function<void()> kill_sims(outside::SimRuntime& runtime) {
  return [&runtime] {
    console().note(std::string(INTERRUPTED_AGAIN));
    runtime.kill_all();
  };
}

Outcome run_interruptible(asio::awaitable<int> task, const std::string& interrupted,
                          std::function<void()> on_second) {
  asio::cancellation_signal cancel;
  asio::io_context context;
  asio::signal_set signals(context, SIGINT, SIGTERM);
  int received = 0;
  std::function<void(const std::error_code&, int)> on_signal = [&](const std::error_code& error, int signal) {
    if (error) return;
    if (received) {
      on_second();
    } else {
      received = signal;
      console().note(interrupted);
      cancel.emit(asio::cancellation_type::terminal);
      if (on_second) return signals.async_wait(on_signal);
    }
    // The next signal ends the program at once, through the default action.
    signals.clear();
  };
  signals.async_wait(on_signal);

  std::exception_ptr failure;
  int status = 0;
  asio::co_spawn(context, std::move(task),
                 asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr error, int value) {
                   failure = error;
                   status = value;
                   signals.cancel();
                 }));
  context.run();

  if (failure && !(received && is_cancellation(failure))) note_failure(failure);
  if (received) return {.exit_status = 128 + received, .signal = received};
  return {.exit_status = failure ? 1 : status};
}

}  // namespace nalto::cli
