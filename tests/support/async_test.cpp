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

TEST(CallLimitTest, EachCallOfASeriesHasItsWholeLimitFromItsOwnStart) {
  // The one timer was set for the first call's limit; the second call, begun later, outlives that moment
  // and is still within its own.
  static constexpr double LIMIT = 0.06;
  Loop loop;
  auto series = [](CallLimit& call) -> asio::awaitable<int> {
    int sum = co_await call(answer_after(LIMIT / 2, 1));
    sum += co_await call(answer_after(LIMIT * 0.8, 2));
    const auto started = std::chrono::steady_clock::now();
    try {
      co_await call(answer_after(3600, 4));
    } catch (const TimeoutError&) {
      const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      EXPECT_GE(waited, LIMIT) << "the third call was given its whole limit";
      sum += 10;
    }
    co_return sum;
  };
  EXPECT_EQ(loop.run(with_call_limit<int>(LIMIT, series)), 13);
}

asio::awaitable<void> task_after(double seconds, bool fails, std::vector<std::string>& ended,
                                 std::string name) {
  std::exception_ptr failure;
  try {
    co_await sleep_for(seconds);
  } catch (...) {
    failure = std::current_exception();
  }
  ended.push_back(name + (failure ? " cancelled" : fails ? " failed" : " done"));
  if (failure) std::rethrow_exception(failure);
  if (fails) throw KeyError("'" + name + "'");
}

TEST(AttemptAllTest, TheFirstFailureCancelsTheOthersAndIsAnsweredOnceAllEnded) {
  Loop loop;
  std::vector<std::string> ended;
  auto task = [&ended](std::size_t i) {
    return task_after(i == 1 ? 0.001 : 3600, i == 1, ended, std::to_string(i));
  };
  const std::optional<FirstFailure> failed = loop.run(attempt_all(3, task));
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->index, 1u);
  EXPECT_THROW(std::rethrow_exception(failed->failure), KeyError);
  EXPECT_THAT(ended, ::testing::UnorderedElementsAre("0 cancelled", "1 failed", "2 cancelled"));

  ended.clear();
  auto quick = [&ended](std::size_t i) {
    return task_after(0.001 * static_cast<double>(i), false, ended, std::to_string(i));
  };
  EXPECT_FALSE(loop.run(attempt_all(3, quick)));
  EXPECT_THAT(ended, ::testing::ElementsAre("0 done", "1 done", "2 done"));
}

TEST(AttemptAllTest, CancellingTheCallerCancelsAndAwaitsEveryTask) {
  Loop loop;
  std::vector<std::string> ended;
  auto task = [&](std::size_t i) {
    if (i == 2) loop.cancel_soon();
    return task_after(3600, false, ended, std::to_string(i));
  };
  try {
    loop.run(attempt_all(3, task));
    FAIL() << "not cancelled";
  } catch (...) {
    EXPECT_TRUE(is_cancellation(std::current_exception()));
  }
  EXPECT_THAT(ended, ::testing::UnorderedElementsAre("0 cancelled", "1 cancelled", "2 cancelled"));
}

TEST(SlotsTest, AtMostNHoldAtOnceAndWaitersComeInInTheirOrder) {
  Loop loop;
  Slots slots(2);
  std::vector<std::size_t> entered;
  int holding = 0, most = 0;
  auto task = [&](std::size_t i) -> asio::awaitable<void> {
    const Slots::Hold held = co_await slots.enter();
    entered.push_back(i);
    most = std::max(most, ++holding);
    co_await sleep_for(0.002);
    --holding;
  };
  EXPECT_FALSE(loop.run(attempt_all(5, task)));
  EXPECT_EQ(most, 2);
  EXPECT_THAT(entered, ::testing::ElementsAre(0u, 1u, 2u, 3u, 4u));
}

TEST(SlotsTest, CancelledHoldersAndWaitersLeaveEveryPlaceFree) {
  Loop loop;
  Slots slots(1);
  // 0 holds the place, 1 waits for it, 2 fails and so cancels both.
  auto task = [&slots](std::size_t i) -> asio::awaitable<void> {
    if (i == 2) {
      co_await fail_after(0.001);
      co_return;
    }
    const Slots::Hold held = co_await slots.enter();
    co_await sleep_for(3600);
  };
  ASSERT_TRUE(loop.run(attempt_all(3, task)));
  auto enter = [&slots]() -> asio::awaitable<void> { const Slots::Hold held = co_await slots.enter(); };
  EXPECT_NO_THROW(loop.run(with_timeout(enter(), 5)));
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
