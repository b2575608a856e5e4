#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/fixtures.hpp"

namespace nalto {
namespace {

using namespace std::chrono_literals;
using testing::Loop;

asio::awaitable<int> answer_after(double seconds, int value) {
  co_await sleep_for(seconds);
  co_return value;
}

asio::awaitable<int> fail_after(double seconds) {
  co_await sleep_for(seconds);
  throw KeyError("'x'");
}

TEST(WithTimeoutTest, TheOperationWins) {
  Loop loop;
  EXPECT_EQ(loop.run(with_timeout(answer_after(0, 7), 10)), 7);
}

TEST(WithTimeoutTest, AFailureIsRaisedAtOnceNotAfterTheLimit) {
  Loop loop;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(loop.run(with_timeout(fail_after(0), 30)), KeyError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << "the failure must not wait for the timer";
}

TEST(WithTimeoutTest, TheLimitCancelsTheOperationAndRaisesAnEmptyTimeoutError) {
  Loop loop;
  bool cancelled = false;
  auto slow = [&]() -> asio::awaitable<void> {
    try {
      co_await sleep_for(3600);
    } catch (const std::system_error&) {
      cancelled = true;
      throw;
    }
  };
  try {
    loop.run(with_timeout(slow(), 0.005));
    FAIL() << "no time-out";
  } catch (const TimeoutError& e) {
    EXPECT_STREQ(e.what(), "");
    EXPECT_EQ(e.type_name(), "TimeoutError");
  }
  EXPECT_TRUE(cancelled) << "the bounded operation was cancelled and awaited";
}

TEST(WithTimeoutTest, CancellingTheCallerCancelsTheOperation) {
  Loop loop;
  auto waits = [&]() -> asio::awaitable<int> {
    loop.cancel_soon();
    co_return co_await answer_after(3600, 1);
  };
  try {
    loop.run(with_timeout(waits(), 3600));
    FAIL() << "not cancelled";
  } catch (...) {
    EXPECT_TRUE(is_cancellation(std::current_exception()));
  }
}

TEST(RunBlockingTest, ResultAndFailureCrossTheThreads) {
  Loop loop;
  const auto loop_thread = std::this_thread::get_id();
  std::thread::id work_thread;
  auto work = [&] {
    work_thread = std::this_thread::get_id();
    return 42;
  };
  EXPECT_EQ(loop.run(run_blocking(work)), 42);
  EXPECT_NE(work_thread, loop_thread);
  EXPECT_THROW(loop.run(run_blocking([]() -> int { throw ValueError("bad"); })), ValueError);
  EXPECT_NO_THROW(loop.run(run_blocking([] {})));
}

TEST(RunBlockingTest, ResumesOnTheLoopThread) {
  Loop loop;
  auto task = [&]() -> asio::awaitable<std::thread::id> {
    co_await run_blocking([] {});
    co_return std::this_thread::get_id();
  };
  EXPECT_EQ(loop.run(task()), std::this_thread::get_id());
}

TEST(RunBlockingTest, CancellationReachesTheWorkAndIsRaisedAfterItReturned) {
  Loop loop;
  std::atomic<bool> saw_stop = false;
  std::atomic<bool> returned = false;
  auto work = [&] {
    loop.cancel_soon();
    const auto token = current_stop_token();
    const auto give_up = std::chrono::steady_clock::now() + 10s;
    while (!token.stop_requested() && std::chrono::steady_clock::now() < give_up)
      std::this_thread::sleep_for(1ms);
    saw_stop = token.stop_requested();
    returned = true;
    return 1;
  };
  try {
    loop.run(run_blocking(work));
    FAIL() << "not cancelled";
  } catch (...) {
    EXPECT_TRUE(is_cancellation(std::current_exception()));
  }
  EXPECT_TRUE(saw_stop);
  EXPECT_TRUE(returned) << "the await ends only after the work returned";
}

TEST(RunBlockingTest, OutsideWorkTheTokenNeverStops) {
  EXPECT_FALSE(current_stop_token().stop_possible());
}

}  // namespace
}  // namespace nalto
