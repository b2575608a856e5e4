#include "cli/outcome.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <csignal>

#include "support/subprocess.hpp"

namespace nalto {
namespace {

using ::testing::HasSubstr;

// A task whose clean-up never ends by itself, interrupted `signals` times, 50 ms apart.
asio::awaitable<int> interrupted(int signals) {
  co_await asio::this_coro::throw_if_cancelled(false);
  asio::steady_timer timer(co_await asio::this_coro::executor);
  for (int i = 0; i < signals; ++i) {
    std::raise(SIGINT);
    timer.expires_after(std::chrono::milliseconds(50));
    asio::error_code ignored;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  }
  co_return 0;
}

// In a forked copy: a signal's default action would end the test itself.
std::unique_ptr<testing::Subprocess> run_interrupted(int signals, bool with_second) {
  return testing::Subprocess::fork([signals, with_second] {
    std::function<void()> on_second;
    if (with_second)
      on_second = [] { [[maybe_unused]] const auto written = ::write(STDOUT_FILENO, "second\n", 7); };
    return cli::run_interruptible(interrupted(signals), "Interrupted: stopping", on_second).exit_status;
  });
}

TEST(RunInterruptibleTest, WithoutASecondActionTheSecondSignalEndsTheProgram) {
  const auto tool = run_interrupted(2, false);
  EXPECT_EQ(tool->finish(testing::Subprocess::Clock::now() + std::chrono::seconds(10)),
            testing::killed_by(SIGINT));
  EXPECT_EQ(tool->err(), "Interrupted: stopping\n");
}

TEST(RunInterruptibleTest, ASecondSignalRunsTheSecondActionAndAThirdEndsTheProgram) {
  const auto twice = run_interrupted(2, true);
  EXPECT_EQ(twice->finish(testing::Subprocess::Clock::now() + std::chrono::seconds(10)),
            testing::exited(128 + SIGINT))
      << "the clean-up ran to its end";
  EXPECT_EQ(twice->out(), "second\n");

  const auto thrice = run_interrupted(3, true);
  EXPECT_EQ(thrice->finish(testing::Subprocess::Clock::now() + std::chrono::seconds(10)),
            testing::killed_by(SIGINT));
  EXPECT_EQ(thrice->out(), "second\n");
  EXPECT_THAT(thrice->err(), HasSubstr("Interrupted: stopping\n"));
}

}  // namespace
}  // namespace nalto
