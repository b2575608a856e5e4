#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/dispatch.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <system_error>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

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

// Runs a blocking callable on a thread of `pool` and resumes the awaiting coroutine on its own executor.
// Cancelling the await requests a stop through current_stop_token(); the await still ends only when the
// work has returned, so the work never outlives what it borrows, and it then raises the cancellation.
template <class F>
asio::awaitable<std::invoke_result_t<F&>> run_blocking_on(asio::thread_pool& pool, F work) {
  using R = std::invoke_result_t<F&>;
  using Result = detail::BlockingResult<R>;
  auto stop = std::make_shared<std::stop_source>();

  auto initiation = [stop, &pool](auto handler, F work) {
    auto slot = asio::get_associated_cancellation_slot(handler);
    if (slot.is_connected()) slot.assign([stop](asio::cancellation_type) { stop->request_stop(); });
    auto guard = asio::make_work_guard(asio::get_associated_executor(handler));
    asio::post(pool, [stop, work = std::move(work), handler = std::move(handler),
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

// run_blocking_on the shared worker threads.
template <class F>
asio::awaitable<std::invoke_result_t<F&>> run_blocking(F work) {
  return run_blocking_on(worker_pool(), std::move(work));
}

class CallLimit;

namespace detail {

using LimitClock = asio::steady_timer::clock_type;

// What a series of limited calls and its timer share; the timer may be heard after the series has
// ended, so it holds a share of its own.
struct Watch {
  Watch(const asio::any_io_executor& executor, LimitClock::duration limit) : timer(executor), limit(limit) {}

  asio::cancellation_signal cancel;  // cancels the series' task alone
  asio::steady_timer timer;
  LimitClock::duration limit;
  LimitClock::time_point due = LimitClock::time_point::max();  // the call in flight's; max between calls
  std::exception_ptr failure;                                  // how the task ended
  bool waiting = false;                                        // the timer is set
  bool timed_out = false;
  bool ended = false;
};

// Sets the timer for `at`. When it fires before the call in flight is due, it is set again for that
// call: calls begin far more often than the timer fires.
inline void set_timer(const std::shared_ptr<Watch>& watch, LimitClock::time_point at) {
  watch->waiting = true;
  watch->timer.expires_at(at);
  watch->timer.async_wait([watch](const std::error_code& error) {
    watch->waiting = false;
    if (error || watch->ended || watch->due == LimitClock::time_point::max()) return;
    if (LimitClock::now() < watch->due) return set_timer(watch, watch->due);
    watch->timed_out = true;
    watch->cancel.emit(asio::cancellation_type::terminal);
  });
}

}  // namespace detail

// The time limit of each call in a series of calls made one at a time, inside with_call_limit.
class CallLimit {
 public:
  explicit CallLimit(std::shared_ptr<detail::Watch> watch) : watch_(std::move(watch)) {}

  // Awaits `call`. When the limit passes first, the series' task is cancelled (and `call` with it) and
  // TimeoutError with an empty message is raised; the series cannot go on. A failure of `call` is raised
  // as it is, at once; a cancellation of the caller as the cancellation. A `call` that ended after the
  // limit without letting the timer run (it kept the loop's thread) is late all the same.
  template <class T>
  asio::awaitable<T> operator()(asio::awaitable<T> call) {
    detail::Watch& watch = *watch_;
    const detail::LimitClock::time_point due = detail::LimitClock::now() + watch.limit;
    watch.due = due;
    if (!watch.waiting) detail::set_timer(watch_, due);
    std::optional<detail::BlockingResult<T>> result;
    std::exception_ptr failure;
    try {
      if constexpr (std::is_void_v<T>) {
        co_await std::move(call);
      } else {
        result.emplace(co_await std::move(call));
      }
    } catch (...) {
      failure = std::current_exception();
    }
    watch.due = detail::LimitClock::time_point::max();
    // The cancellation that the timer caused is the limit's; the caller's stays a cancellation.
    if (watch.timed_out) throw TimeoutError("");
    if (failure) std::rethrow_exception(failure);
    if (detail::LimitClock::now() >= due) throw TimeoutError("");
    if constexpr (!std::is_void_v<T>) co_return std::move(*result);
  }

 private:
  std::shared_ptr<detail::Watch> watch_;
};

// Awaits `calls(limit)` as a task of its own, in which `limit` bounds each call by `seconds` from its
// start; a cancellation of the caller cancels the task. One timer watches every call of the series, and
// is set again only when it fires before the call in flight is due: a call answered at once then costs
// neither a timer of the loop (two system calls) nor a trip through the loop.
template <class T>
asio::awaitable<T> with_call_limit(double seconds, std::function<asio::awaitable<T>(CallLimit&)> calls) {
  using Result = detail::BlockingResult<T>;
  auto executor = co_await asio::this_coro::executor;
  auto watch = std::make_shared<detail::Watch>(executor, to_duration(seconds));
  CallLimit limit(watch);

  auto initiation = [executor, watch](auto handler, asio::awaitable<T> task) {
    auto slot = asio::get_associated_cancellation_slot(handler);
    if (slot.is_connected()) slot.assign([watch](asio::cancellation_type type) { watch->cancel.emit(type); });
    auto ended = [handler = std::move(handler), watch](std::exception_ptr failure, auto... result) mutable {
      watch->ended = true;
      if (watch->waiting) watch->timer.cancel();
      watch->failure = std::move(failure);
      asio::get_associated_cancellation_slot(handler).clear();
      if constexpr (std::is_void_v<T>) {
        std::move(handler)(Result{});
      } else {
        std::move(handler)(std::move(result)...);
      }
    };
    asio::co_spawn(executor, std::move(task),
                   asio::bind_cancellation_slot(watch->cancel.slot(), std::move(ended)));
  };
  [[maybe_unused]] Result result = co_await asio::async_initiate<const asio::use_awaitable_t<>, void(Result)>(
      std::move(initiation), asio::use_awaitable, calls(limit));
  if (watch->failure) std::rethrow_exception(watch->failure);
  if constexpr (!std::is_void_v<T>) co_return std::move(result);
}

// Bounds `op` by `seconds`: when the limit passes first, `op` is cancelled (and awaited) and
// TimeoutError with an empty message is raised. A failure of `op` is raised as it is, at once;
// a cancellation of the caller cancels `op` and is raised as the cancellation. An `op` that ended
// after the limit without letting the timer run (it kept the loop's thread) is late all the same.
template <class T>
asio::awaitable<T> with_timeout(asio::awaitable<T> op, double seconds) {
  auto one_call = [&op](CallLimit& limit) { return limit(std::move(op)); };
  if constexpr (std::is_void_v<T>) {
    co_await with_call_limit<void>(seconds, std::move(one_call));
  } else {
    co_return co_await with_call_limit<T>(seconds, std::move(one_call));
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
// cancellation. After a failure or a cancellation the clean-up still awaits as if nothing had been
// cancelled (the cancellation is not raised again at its first suspension, and side-by-side tasks the
// clean-up starts are not cancelled at once); only a later cancellation reaches it. So the clean-up
// must bound its own time. The body's outcome
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
  if (failure) {
    co_await asio::this_coro::throw_if_cancelled(false);
    co_await asio::this_coro::reset_cancellation_state();
  }
  co_await cleanup(failure);
  if (failure) std::rethrow_exception(failure);
  if constexpr (!std::is_void_v<T>) co_return std::move(*result);
}

// Which of several side-by-side tasks failed first, and with what.
struct FirstFailure {
  std::size_t index;
  std::exception_ptr failure;
};

// Runs task(0) ... task(n - 1) side by side on the caller's executor and awaits every one of them.
// The first ordinary failure cancels the others at once (their cancellations are no failures of their
// own) and is answered once all have ended; success answers nothing. A cancellation of the caller
// cancels every task, awaits them all too, and is raised.
asio::awaitable<std::optional<FirstFailure>> attempt_all(
    std::size_t n, std::function<asio::awaitable<void>(std::size_t)> task);

// At most a fixed number of holders at once, for work side by side on one executor's thread (requests
// to a server that serves only so many at once). Waiters are let in in the order they came.
class Slots {
 public:
  // A place held; dropping it lets the next waiter in, or frees it.
  class Hold {
   public:
    Hold() = default;
    explicit Hold(Slots* slots) : slots_(slots) {}
    Hold(Hold&& other) noexcept : slots_(std::exchange(other.slots_, nullptr)) {}
    Hold& operator=(Hold other) noexcept {
      std::swap(slots_, other.slots_);
      return *this;
    }
    ~Hold() {
      if (slots_) slots_->leave();
    }

   private:
    Slots* slots_ = nullptr;
  };

  explicit Slots(std::size_t n) : free_(n) {}
  Slots(const Slots&) = delete;
  Slots& operator=(const Slots&) = delete;

  // Waits for a free place; a cancellation of the wait gives none and is raised.
  asio::awaitable<Hold> enter();

 private:
  struct Waiter {
    asio::steady_timer timer;
    bool let_in = false;
  };
  void leave();

  std::size_t free_;
  std::vector<std::shared_ptr<Waiter>> waiting_;
};

}  // namespace nalto
