#include "nalto/support/async.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/redirect_error.hpp>
#include <cmath>

namespace nalto {

namespace {
thread_local std::stop_token current_token;
}

asio::thread_pool& worker_pool() {
  static asio::thread_pool pool(2);
  return pool;
}

std::stop_token current_stop_token() {
  return current_token;
}

detail::StopTokenScope::StopTokenScope(std::stop_token token) : previous_(std::move(current_token)) {
  current_token = std::move(token);
}

detail::StopTokenScope::~StopTokenScope() {
  current_token = std::move(previous_);
}

std::chrono::steady_clock::duration to_duration(double seconds) {
  if (!(seconds > 0)) return std::chrono::steady_clock::duration::zero();
  // Far beyond any limit of ours, and safe from overflow.
  if (seconds > 1e9) seconds = 1e9;
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds));
}

void throw_cancelled() {
  throw std::system_error(asio::error::operation_aborted);
}

asio::awaitable<void> sleep_for(double seconds) {
  asio::steady_timer timer(co_await asio::this_coro::executor, to_duration(seconds));
  co_await timer.async_wait(asio::use_awaitable);
}

asio::awaitable<std::optional<FirstFailure>> attempt_all(
    std::size_t n, std::function<asio::awaitable<void>(std::size_t)> task) {
  auto executor = co_await asio::this_coro::executor;
  // Lives on this frame, which outlasts every task: the last one to end wakes the waiter below.
  struct Group {
    std::vector<asio::cancellation_signal> signals;
    std::size_t running;
    std::optional<FirstFailure> first;
    asio::steady_timer all_ended;

    void cancel_all() {
      for (asio::cancellation_signal& signal : signals) signal.emit(asio::cancellation_type::terminal);
    }
  } group{.signals = std::vector<asio::cancellation_signal>(n),
          .running = 0,
          .first = std::nullopt,
          .all_ended = asio::steady_timer(executor, asio::steady_timer::time_point::max())};

  // A task may end before the next one starts; after a failure no more are started.
  for (std::size_t i = 0; i < n && !group.first; ++i) {
    ++group.running;
    auto ended = [&group, i](std::exception_ptr failure) {
      if (failure && !group.first && !is_cancellation(failure)) {
        group.first = FirstFailure{i, failure};
        group.cancel_all();
      }
      if (--group.running == 0) group.all_ended.cancel();
    };
    asio::co_spawn(executor, task(i),
                   asio::bind_cancellation_slot(group.signals[i].slot(), std::move(ended)));
  }

  // The tasks borrow from this frame, so it waits for them even once the caller is cancelled; they are
  // then cancelled too.
  const bool throw_if_cancelled = co_await asio::this_coro::throw_if_cancelled();
  co_await asio::this_coro::throw_if_cancelled(false);
  bool cancelled = false;
  while (group.running > 0) {
    if (!cancelled &&
        (co_await asio::this_coro::cancellation_state).cancelled() != asio::cancellation_type::none) {
      cancelled = true;
      group.cancel_all();
      continue;
    }
    std::error_code woken;
    co_await group.all_ended.async_wait(asio::redirect_error(asio::use_awaitable, woken));
  }
  co_await asio::this_coro::throw_if_cancelled(throw_if_cancelled);
  if (cancelled) throw_cancelled();
  co_return std::move(group.first);
}

asio::awaitable<Slots::Hold> Slots::enter() {
  if (free_ > 0) {
    --free_;
    co_return Hold(this);
  }
  auto waiter = std::make_shared<Waiter>(
      Waiter{.timer = asio::steady_timer(co_await asio::this_coro::executor), .let_in = false});
  waiter->timer.expires_at(asio::steady_timer::time_point::max());
  waiting_.push_back(waiter);
  std::error_code ignored;
  co_await waiter->timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  // A place handed over as the wait was cancelled is held all the same, and passed on when dropped.
  if (waiter->let_in) co_return Hold(this);
  std::erase(waiting_, waiter);
  throw_cancelled();
}

void Slots::leave() {
  if (waiting_.empty()) {
    ++free_;
    return;
  }
  const std::shared_ptr<Waiter> next = waiting_.front();
  waiting_.erase(waiting_.begin());
  next->let_in = true;
  next->timer.cancel();
}

}  // namespace nalto
