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

TEST(WithTimeoutTest, AnAnswerThatKeptTheLoopPastTheLimitIsLate) {
  // As a sim call answered within the inline wait does: the timer never gets to run.
  auto blocks = []() -> asio::awaitable<int> {
    std::this_thread::sleep_for(5ms);
    co_return 1;
  };
  for (const double limit : {1e-300, 0.001}) {
    Loop loop;
    EXPECT_THROW(loop.run(with_timeout(blocks(), limit)), TimeoutError) << limit;
  }
  Loop loop;
  EXPECT_EQ(loop.run(with_timeout(blocks(), 10)), 1);
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

// What an attempt held, as plain values: the loop's tasks hand back default-constructible results.
struct Attempted {
  bool ok = false;
  int value = 0;
  std::exception_ptr failure;
};

asio::awaitable<Attempted> attempted(asio::awaitable<int> op) {
  Attempt<int> a = co_await attempt(std::move(op));
  if (!a.ok()) co_return Attempted{.failure = a.failure()};
  co_return Attempted{.ok = true, .value = a.value()};
}

asio::awaitable<bool> attempted_void() {
  const Attempt<void> a = co_await attempt(sleep_for(0));
  co_return a.ok();
}

TEST(AttemptTest, KeepsTheValueOrTheOrdinaryFailureAndRaisesACancellation) {
  Loop loop;
  const Attempted value = loop.run(attempted(answer_after(0, 7)));
  EXPECT_TRUE(value.ok);
  EXPECT_EQ(value.value, 7);

  const Attempted failed = loop.run(attempted(fail_after(0)));
  EXPECT_FALSE(failed.ok);
  EXPECT_TRUE(failure_is<KeyError>(failed.failure));

  EXPECT_TRUE(loop.run(attempted_void()));

  auto cancelled = [&]() -> asio::awaitable<int> {
    loop.cancel_soon();
    co_return co_await answer_after(3600, 1);
  };
  try {
    loop.run(attempted(cancelled()));
    FAIL() << "the cancellation was captured";
  } catch (...) {
    EXPECT_TRUE(is_cancellation(std::current_exception()));
  }
}

// The clean-up hears how the body ended and can still await after a failure or a cancellation.
struct Heard {
  int calls = 0;
  std::exception_ptr failure;
  bool awaited = false;
};

asio::awaitable<void> cleanup_into(Heard& heard, std::exception_ptr failure) {
  ++heard.calls;
  heard.failure = std::move(failure);
  co_await sleep_for(0);
  heard.awaited = true;
}

TEST(FinallyTest, TheCleanUpRunsOnEveryPathAndTheBodysOutcomeStands) {
  Loop loop;
  Heard heard;
  auto cleanup = [&heard](const std::exception_ptr& failure) { return cleanup_into(heard, failure); };

  EXPECT_EQ(loop.run(finally(answer_after(0, 7), cleanup)), 7);
  EXPECT_EQ(heard.calls, 1);
  EXPECT_FALSE(heard.failure) << "success hands the clean-up no failure";
  EXPECT_TRUE(heard.awaited);

  heard = {};
  EXPECT_THROW(loop.run(finally(fail_after(0), cleanup)), KeyError);
  EXPECT_TRUE(failure_is<KeyError>(heard.failure));
  EXPECT_TRUE(heard.awaited);

  heard = {};
  auto cancelled = [&]() -> asio::awaitable<int> {
    loop.cancel_soon();
    co_return co_await answer_after(3600, 1);
  };
  try {
    loop.run(finally(cancelled(), cleanup));
    FAIL() << "the cancellation was swallowed";
  } catch (...) {
    EXPECT_TRUE(is_cancellation(std::current_exception()));
  }
  EXPECT_TRUE(is_cancellation(heard.failure));
  EXPECT_TRUE(heard.awaited) << "after a cancellation the clean-up still awaits";
}

TEST(FinallyTest, AFailingCleanUpReplacesTheOutcome) {
  Loop loop;
  auto failing = [](const std::exception_ptr&) -> asio::awaitable<void> {
    co_await sleep_for(0);
    throw ValueError("cleanup");
  };
  EXPECT_THROW(loop.run(finally(answer_after(0, 7), failing)), ValueError);
  EXPECT_THROW(loop.run(finally(fail_after(0), failing)), ValueError);
}

TEST(RunBlockingTest, OutsideWorkTheTokenNeverStops) {
  EXPECT_FALSE(current_stop_token().stop_possible());
}

}  // namespace
}  // namespace nalto
