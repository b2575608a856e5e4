#include "nalto/support/async.hpp"

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

}  // namespace nalto
