#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/fixtures.hpp"

namespace nalto {
namespace {

using testing::CapturedConsole;
using testing::CapturedLog;
using ::testing::ElementsAre;
using testing::FakePlatform;
using ::testing::HasSubstr;
using testing::Loop;

Json run(std::string project, std::string status, Json score = nullptr, Json code = nullptr) {
  Json r{{"projectName", project}, {"status", status}};
  if (!score.is_null()) r["score"] = score;
  if (!code.is_null()) r["failureCode"] = code;
  return r;
}

Json job(Json event_status, Json runs, Json mapped = true, Json build = "DONE") {
  Json status{{"buildStatus", build}, {"buildMapped", mapped}, {"eventStatus", event_status}};
  if (!runs.is_discarded()) status["runs"] = runs;
  return status;
}

const std::string STILL_WRITING =
    "The platform is still writing the report; it appears under the use case's Reports when it is done.\n";

class WaitForReportsTest : public ::testing::Test {
 protected:
  Json wait() { return loop.run(wait_for_reports(platform, "org-1", "sim-1", "impl-1", "job-1")); }

  Loop loop;
  FakePlatform platform;
  CapturedConsole console;
  ScopedTiming timing{Timing{.report_timeout_s = 5, .report_poll_s = 0.001}};
};

TEST_F(WaitForReportsTest, EarlyExitsAfterExactlyOnePoll) {
  const std::vector<std::pair<std::string, Json>> cases = {
      {"not mapped", job("writing", Json::array(), false)},
      {"mapped null", job("writing", Json::array(), nullptr)},
      {"mapped empty text", job("writing", Json::array(), "")},
      {"build failed while mapped", job("writing", Json::array(), true, "ERROR")},
      {"settled with runs", job("done", {run("A", "ready"), run("B", "failed")})},
      {"done without runs", job("done", Json::value_t::discarded)},
      {"failed without runs", job("failed", nullptr)},
  };
  for (const auto& [name, status] : cases) {
    platform.calls.clear();
    platform.statuses = {status};
    EXPECT_EQ(wait(), status) << name;
    EXPECT_EQ(platform.count("status"), 1u) << name;
    EXPECT_THAT(platform.calls[0].args, ElementsAre("org-1", "sim-1", "impl-1", "job-1"));
  }
}

TEST_F(WaitForReportsTest, PollsUntilEveryRunSettles) {
  platform.statuses = {job("writing", Json::array()), job("done", {run("A", "ready"), run("B", "writing")}),
                       job("done", {run("A", "ready"), run("B", "ready")})};
  const Json last = wait();
  EXPECT_EQ(platform.count("status"), 3u);
  EXPECT_EQ(last["runs"][1]["status"], "ready");
}

TEST_F(WaitForReportsTest, RunsAreExaminedInOrderAndOnlyOnceTheWritingEnded) {
  // Neither the run without a status behind an unsettled one, nor runs while the writing goes on,
  // are read: no failure, just more polls until the deadline.
  ScopedTiming fast(Timing{.report_timeout_s = 0.02, .report_poll_s = 0.001});
  for (const Json& status : {job("writing", {Json{{"projectName", "A"}}}),
                             job("done", {run("A", "writing"), Json{{"projectName", "B"}}})}) {
    platform.statuses = {status};
    EXPECT_EQ(wait(), status);
  }
  platform.statuses = {job("done", {run("A", "ready"), Json{{"projectName", "B"}}})};
  EXPECT_THROW(wait(), KeyError);
}

TEST_F(WaitForReportsTest, DeadlineIsTestedOnlyAfterAPoll) {
  ScopedTiming no_time(Timing{.report_timeout_s = 0, .report_poll_s = 0.001});
  platform.statuses = {job("writing", Json::array())};
  wait();
  EXPECT_EQ(platform.count("status"), 1u) << "the first poll is made at once, whatever the limit";
}

TEST_F(WaitForReportsTest, ReachingTheDeadlineReturnsTheLastStatus) {
  ScopedTiming fast(Timing{.report_timeout_s = 0.03, .report_poll_s = 0.005});
  platform.statuses = {job("done", {run("A", "writing", 50)})};
  const Json last = wait();
  EXPECT_GE(platform.count("status"), 2u);
  EXPECT_LE(platform.count("status"), 8u) << "one poll per pause at most";

  render_reports(last, "Room");
  EXPECT_EQ(console.out(), STILL_WRITING +
                               "Simulation reports\n"
                               "┌──────────┬─────────┬───────┐\n"
                               "│ Use case │ Report  │ Score │\n"
                               "├──────────┼─────────┼───────┤\n"
                               "│ A        │ writing │ 50.0  │\n"
                               "└──────────┴─────────┴───────┘\n");
}

TEST_F(WaitForReportsTest, StatusTextIsLoggedAndTheSpinnerRemovedOnFailure) {
  CapturedConsole terminal(true);
  CapturedLog log;
  platform.hang_on = "status";
  platform.on_hang = [&] { loop.cancel_soon(); };
  EXPECT_THROW(wait(), std::system_error);
  EXPECT_THAT(log.records(), ElementsAre("debug Writing the simulation report..."));
  EXPECT_THAT(terminal.err(), HasSubstr("Writing the simulation report..."));
  EXPECT_TRUE(terminal.err().ends_with("\x1b[?25h")) << "cursor restored";
}

TEST(RenderReportsTest, Outcomes) {
  struct Case {
    std::string name;
    Json status;
    std::string printed;
  };
  const std::vector<Case> cases = {
      {"build failed", job("done", {run("A", "ready")}, true, "ERROR"),
       "The platform could not build 'Room [v2]', so no report will be written. Check it with `nalto sim "
       "list` "
       "and `nalto sim validate`.\n"},
      {"build failed beats not mapped", job("done", Json::array(), false, "ERROR"),
       "The platform could not build 'Room [v2]', so no report will be written. Check it with `nalto sim "
       "list` "
       "and `nalto sim validate`.\n"},
      {"not mapped", job("done", {run("A", "ready")}, false),
       "✓ Submitted. The platform is still building 'Room [v2]'; its simulation report appears under the "
       "Reports "
       "of each use case using it once the build is done.\n"},
      {"writing, no runs", job("writing", Json::array()), STILL_WRITING},
      {"done, no runs", job("done", Json::value_t::discarded),
       "No use case uses 'Room [v2]', so no report was written. Add the sim to a use case (or pass "
       "--project) "
       "and publish again.\n"},
      {"failed, no runs", job("failed", nullptr), ""},
      {"settled with runs",
       job("done", {run("Kitchen", "ready", 87.46), run("Garage", "failed", nullptr, "SIM_CRASH"),
                    run("Attic", "failed", 100, ""), run("Cellar", "failed", 0.25)}),
       "Simulation reports\n"
       "┌──────────┬────────────────────┬───────┐\n"
       "│ Use case │ Report             │ Score │\n"
       "├──────────┼────────────────────┼───────┤\n"
       "│ Kitchen  │ ready              │ 87.5  │\n"
       "│ Garage   │ failed (SIM_CRASH) │ -     │\n"
       "│ Attic    │ failed (unknown)   │ 100.0 │\n"
       "│ Cellar   │ failed (unknown)   │ 0.2   │\n"
       "└──────────┴────────────────────┴───────┘\n"},
      {"writing with runs", job("writing", {run("Kitchen", "ready", 12)}),
       STILL_WRITING + "Simulation reports\n"
                       "┌──────────┬────────┬───────┐\n"
                       "│ Use case │ Report │ Score │\n"
                       "├──────────┼────────┼───────┤\n"
                       "│ Kitchen  │ ready  │ 12.0  │\n"
                       "└──────────┴────────┴───────┘\n"},
  };
  for (const auto& c : cases) {
    CapturedConsole console;
    render_reports(c.status, "Room [v2]");
    EXPECT_EQ(console.out(), c.printed) << c.name;
  }
}

TEST(RenderReportsTest, ColouredMarkUpOnATerminal) {
  CapturedConsole console(true);
  render_reports(job("done", {run("Kitchen", "ready", 1.0), run("Garage", "failed")}), "Room");
  EXPECT_THAT(console.out(), HasSubstr("\x1b[32mready\x1b[0m"));
  EXPECT_THAT(console.out(), HasSubstr("\x1b[31mfailed (unknown)\x1b[0m"));
}

TEST(RenderReportsTest, MalformedRunsFail) {
  CapturedConsole console;
  EXPECT_THROW(render_reports(job("done", {Json{{"projectName", "A"}}}), "Room"), KeyError);
  EXPECT_THROW(render_reports(job("done", {Json{{"status", "ready"}}}), "Room"), KeyError);
  EXPECT_THROW(render_reports(job("done", {run("A", "ready", "87")}), "Room"), TypeError);
  EXPECT_THROW(render_reports(job("done", Json{{"a", 1}}), "Room"), TypeError);
  EXPECT_THROW(render_reports(Json::array(), "Room"), TypeError);
}

}  // namespace
}  // namespace nalto
