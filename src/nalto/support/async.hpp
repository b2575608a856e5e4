#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/dispatch.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/experimental/deferred.hpp>
#include <asio/experimental/parallel_group.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <stop_token>
#include <system_error>
#include <type_traits>
#include <utility>
#include <variant>

#include "nalto/support/errors.hpp"

namespace nalto {

// The worker threads on which blocking calls run while the event loop goes on.
asio::thread_pool& worker_pool();

// Inside work started by run_blocking: the token that tells the work its await was cancelled.
// Elsewhere: a token that never stops.
std::stop_token current_stop_token();

std::chrono::steady_clock::duration to_duration(double seconds);

// Raised when the awaiting coroutine was cancelled.
[[noreturn]] void throw_cancelled();

namespace detail {

class StopTokenScope {
 public:
  explicit StopTokenScope(std::stop_token token);
  ~StopTokenScope();
  StopTokenScope(const StopTokenScope&) = delete;
  StopTokenScope& operator=(const StopTokenScope&) = delete;

 private:
  std::stop_token previous_;
};

template <class R>
using BlockingResult = std::conditional_t<std::is_void_v<R>, std::monostate, R>;

}  // namespace detail

// Runs a blocking callable on a worker thread and resumes the awaiting coroutine on its own executor.
// Cancelling the await requests a stop through current_stop_token(); the await still ends only when the
// work has returned, so the work never outlives what it borrows, and it then raises the cancellation.
template <class F>
asio::awaitable<std::invoke_result_t<F&>> run_blocking(F work) {
  using R = std::invoke_result_t<F&>;
  using Result = detail::BlockingResult<R>;
  auto stop = std::make_shared<std::stop_source>();

  auto initiation = [stop](auto handler, F work) {
    auto slot = asio::get_associated_cancellation_slot(handler);
    if (slot.is_connected()) slot.assign([stop](asio::cancellation_type) { stop->request_stop(); });
    auto guard = asio::make_work_guard(asio::get_associated_executor(handler));
    asio::post(worker_pool(), [stop, work = std::move(work), handler = std::move(handler),
                               guard = std::move(guard)]() mutable {
      std::exception_ptr error;
      Result result{};
      {
        detail::StopTokenScope scope(stop->get_token());
        try {
          if constexpr (std::is_void_v<R>) {
            work();
          } else {
            result = work();
          }
        } catch (...) {
          error = std::current_exception();
        }
      }
      if (stop->stop_requested())
        error = std::make_exception_ptr(std::system_error(asio::error::operation_aborted));
      auto executor = guard.get_executor();
      asio::dispatch(executor, [handler = std::move(handler), guard = std::move(guard), error,
                                result = std::move(result)]() mutable {
        asio::get_associated_cancellation_slot(handler).clear();
        std::move(handler)(error, std::move(result));
      });
    });
  };

  auto result =
      co_await asio::async_initiate<const asio::use_awaitable_t<>, void(std::exception_ptr, Result)>(
          std::move(initiation), asio::use_awaitable, std::move(work));
  if constexpr (!std::is_void_v<R>) co_return result;
}

// Bounds `op` by `seconds`: when the limit passes first, `op` is cancelled (and awaited) and
// TimeoutError with an empty message is raised. A failure of `op` is raised as it is, at once;
// a cancellation of the caller cancels `op` and is raised as the cancellation. An `op` that ended
// after the limit without letting the timer run (it kept the loop's thread) is late all the same.
template <class T>
asio::awaitable<T> with_timeout(asio::awaitable<T> op, double seconds) {
  namespace ex = asio::experimental;
  auto executor = co_await asio::this_coro::executor;
  asio::steady_timer timer(executor, to_duration(seconds));
  auto group = ex::make_parallel_group(asio::co_spawn(executor, std::move(op), ex::deferred),
                                       timer.async_wait(ex::deferred));
  if constexpr (std::is_void_v<T>) {
    auto [order, op_error, timer_error] = co_await group.async_wait(ex::wait_for_one(), asio::use_awaitable);
    if (order[0] == 1 && !timer_error) throw TimeoutError("");
    if (op_error) std::rethrow_exception(op_error);
    if (order[0] == 1) throw_cancelled();
    if (timer.expiry() <= asio::steady_timer::clock_type::now()) throw TimeoutError("");
  } else {
    auto [order, op_error, result, timer_error] =
        co_await group.async_wait(ex::wait_for_one(), asio::use_awaitable);
    if (order[0] == 1 && !timer_error) throw TimeoutError("");
    if (op_error) std::rethrow_exception(op_error);
    if (order[0] == 1) throw_cancelled();
    if (timer.expiry() <= asio::steady_timer::clock_type::now()) throw TimeoutError("");
    co_return std::move(result);
  }
}

// An awaited pause; the event loop goes on meanwhile.
asio::awaitable<void> sleep_for(double seconds);

// What an attempted operation ended with: its value, or its ordinary failure. A cancellation is never
// held here; attempt() raises it again.
template <class T>
class Attempt {
 public:
  explicit Attempt(T value) : value_(std::move(value)) {}
  explicit Attempt(std::exception_ptr failure) : failure_(std::move(failure)) {}

  bool ok() const noexcept { return !failure_; }
  const std::exception_ptr& failure() const noexcept { return failure_; }
  T& value() { return *value_; }

 private:
  std::optional<T> value_;
  std::exception_ptr failure_;
};

template <>
class Attempt<void> {
 public:
  Attempt() = default;
  explicit Attempt(std::exception_ptr failure) : failure_(std::move(failure)) {}

  bool ok() const noexcept { return !failure_; }
  const std::exception_ptr& failure() const noexcept { return failure_; }

 private:
  std::exception_ptr failure_;
};

// Awaits `op` and keeps its ordinary failure for the caller to judge, outside any catch block (where
// no co_await may stand). A cancellation is raised again: it is never captured, converted or swallowed.
template <class T>
asio::awaitable<Attempt<T>> attempt(asio::awaitable<T> op) {
  std::exception_ptr failure;
  try {
    if constexpr (std::is_void_v<T>) {
      co_await std::move(op);
      co_return Attempt<void>();
    } else {
      co_return Attempt<T>(co_await std::move(op));
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (is_cancellation(failure)) std::rethrow_exception(failure);
  co_return Attempt<T>(std::move(failure));
}

// Awaits `body`, then `cleanup(failure)` on every path: success (a null failure), failure and
// cancellation. After a failure or a cancellation the clean-up still awaits (the cancellation is not
// raised again at its first suspension), so the clean-up must bound its own time. The body's outcome
// stands unless the clean-up itself fails: its failure then replaces the outcome, as an error raised
// in a `finally` block would.
template <class T, class Cleanup>
asio::awaitable<T> finally(asio::awaitable<T> body, Cleanup cleanup) {
  std::optional<detail::BlockingResult<T>> result;
  std::exception_ptr failure;
  try {
    if constexpr (std::is_void_v<T>) {
      co_await std::move(body);
    } else {
      result.emplace(co_await std::move(body));
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) co_await asio::this_coro::throw_if_cancelled(false);
  co_await cleanup(failure);
  if (failure) std::rethrow_exception(failure);
  if constexpr (!std::is_void_v<T>) co_return std::move(*result);
}

}  // namespace nalto
