#include "nalto/analysis/progress.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/fixtures.hpp"

namespace nalto::detail {
namespace {

TEST(ReplayFiguresTest, RowsThenRateThenTheTimeLeft) {
  struct Case {
    std::int64_t done, total;
    double elapsed_s;
    std::string figures;
  };
  for (const Case& c : std::vector<Case>{
           {0, 100000, 0, "0 of 100,000 rows"},
           {0, 100000, 3, "0 of 100,000 rows"},
           {41200, 100000, 17.835, "41,200 of 100,000 rows, 2,310 rows/s, about 25 s left"},
           {999, 1000, 1, "999 of 1,000 rows, 999 rows/s, about 1 s left"},
           {1000, 1000000, 1, "1,000 of 1,000,000 rows, 1,000 rows/s, about 17 min left"},
           {1000, 1000, 2, "1,000 of 1,000 rows, 500 rows/s"},
       })
    EXPECT_EQ(replay_figures(c.done, c.total, c.elapsed_s), c.figures) << c.done << " " << c.elapsed_s;
}

Json records() {
  return Json::array({Json{{"episode", 3}, {"n_rows", 2}}, Json{{"episode", 8}, {"n_rows", 6}}});
}

// The status line as the terminal last shows it: the text after the last erase, without the spinner.
std::string last_line(const std::string& err) {
  const std::string erase = "\r\x1b[2K";
  const std::size_t at = err.rfind(erase);
  const std::string line = at == std::string::npos ? err : err.substr(at + erase.size());
  const std::size_t space = line.find(' ');
  return space == std::string::npos ? line : line.substr(space + 1);
}

struct ProgressTest : ::testing::Test {
  using Clock = ReplayProgress::Clock;
  Clock::time_point now = Clock::time_point() + std::chrono::hours(1);
  testing::CapturedConsole console{true};
  testing::CapturedLog log{"nalto.replay"};
  std::vector<std::string> traced;
  const Json episodes = records();

  Status status() {
    return nalto::console().status("Replaying the dataset through the sim...",
                                   [this](const std::string& text) { traced.push_back(text); });
  }
  ReplayProgress progress(Status& status, std::size_t sessions) {
    return ReplayProgress(status, episodes, sessions, [this] { return now; });
  }
};

TEST_F(ProgressTest, OneSimTracesEachEpisodesTextAndDrawsTheFiguresAfterItAFewTimesASecond) {
  Status shown = status();
  ReplayProgress p = progress(shown, 1);
  p.started(0);
  EXPECT_EQ(last_line(console.err()), "Replaying episode 3 (1 of 2, 2 rows) through the sim... 0 of 8 rows");
  now += std::chrono::milliseconds(100);
  p.stepped();
  EXPECT_EQ(last_line(console.err()), "Replaying episode 3 (1 of 2, 2 rows) through the sim... 0 of 8 rows")
      << "not redrawn within the interval";
  now += ReplayProgress::DRAW_INTERVAL;
  p.stepped();
  EXPECT_EQ(last_line(console.err()),
            "Replaying episode 3 (1 of 2, 2 rows) through the sim... 2 of 8 rows, 6 rows/s, about 1 s left");
  p.ended(0, 2, 0);
  p.started(1);
  EXPECT_THAT(traced, ::testing::ElementsAre("Replaying the dataset through the sim...",
                                             "Replaying episode 3 (1 of 2, 2 rows) through the sim...",
                                             "Replaying episode 8 (2 of 2, 6 rows) through the sim..."));
}

TEST_F(ProgressTest, SeveralSimsShowOneLineForTheWholeReplayAndLogEachEpisode) {
  Status shown = status();
  ReplayProgress p = progress(shown, 2);
  p.started(0);
  p.started(1);
  now += std::chrono::seconds(1);
  p.stepped();
  EXPECT_EQ(last_line(console.err()), "Replaying 2 of 2 episodes, 1 of 8 rows, 1 rows/s, about 7 s left...");
  // An episode that ended early counts its rows left as done.
  p.ended(1, 1, 1);
  now += std::chrono::seconds(1);
  p.stepped();
  EXPECT_EQ(last_line(console.err()), "Replaying 2 of 2 episodes, 7 of 8 rows, 4 rows/s, about 1 s left...");
  EXPECT_THAT(traced, ::testing::ElementsAre("Replaying the dataset through the sim..."));
  EXPECT_THAT(log.records(), ::testing::Contains("debug Replayed episode 8 in 1.000 s (1 rows, sim 2 of 2)"));
}

}  // namespace
}  // namespace nalto::detail
