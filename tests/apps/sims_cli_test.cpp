#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "apps/command_line.hpp"
#include "cli/cli.hpp"
#include "support/fake_runtime.hpp"
#include "support/fixtures.hpp"

namespace nalto {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

class SimsCliTest : public ::testing::Test {
 protected:
  SimsCliTest() {
    std::string pattern = (fs::temp_directory_path() / "nalto-sims-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    dir = pattern;
  }
  ~SimsCliTest() override { fs::remove_all(dir); }

  // `nalto` with these arguments (separated by spaces) and this test's state file: the exit status.
  int nalto(const std::string& line) {
    auto parsed = testing::parse_nalto(line + " --platform-state " + state().string());
    if (const int* status = std::get_if<int>(&parsed)) return *status;
    return cli::run(std::get<cli::Command>(parsed), runtime).exit_status;
  }

  fs::path state() const { return dir / "state.json"; }
  Json links() const {
    std::ifstream in(state());
    return Json::parse(in).at("links");
  }

  fs::path dir;
  testing::FakeSimRuntime runtime;
  testing::CapturedConsole console;
};

TEST_F(SimsCliTest, ListWithoutStateSaysNoSimsYetAndCorruptStateFails) {
  EXPECT_EQ(nalto("sim list"), 0);
  EXPECT_THAT(console.out(), HasSubstr("No sims yet"));
  EXPECT_FALSE(fs::exists(state()));

  std::ofstream(state()) << R"({"claims": [], "links": []})";
  EXPECT_EQ(nalto("sim list"), 1);
  EXPECT_THAT(console.err(),
              HasSubstr("Error: StateFileError: The platform state file '" + state().string()));
}

TEST_F(SimsCliTest, ListShowsEachSimWithItsUseCasesAndClaimsNewestFirst) {
  const std::string reason(80, 'r');
  std::ofstream(state()) << R"({"claims": {
      "job-old": {"org": "local", "sim": "room", "implementation": "i1", "dataset": "d1", "state": "closed",
                  "failure": ")" +
                                reason + R"("},
      "job-other": {"org": "acme", "sim": "pump", "implementation": "i9", "dataset": "d2", "state": "open"},
      "job-new": {"org": "local", "sim": "room", "implementation": "i2", "dataset": "d1", "state": "submitted",
                  "created": "2026-12-09T04:30:12Z",
                  "submission": {"simulatorValidation": {"evaluation": {"score_percent": 96.96}}}}},
    "links": [{"org": "local", "project": "kitchen", "sim": "room"}, {"org": "local", "project": "hall", "sim": "room"},
              {"org": "local", "project": "attic", "sim": "fan"}]})";
  ASSERT_EQ(nalto("sim list"), 0) << console.err();
  const std::string out = console.out();

  EXPECT_THAT(out, HasSubstr("Sim room: use cases kitchen, hall\n"));
  EXPECT_THAT(out, HasSubstr("Sim pump (org acme): in no use case; add it with `nalto sim link --sim pump"));
  EXPECT_THAT(out, HasSubstr("Sim fan: use case attic; no claims yet\n"));
  EXPECT_LT(out.find("job-new"), out.find("job-old"));
  EXPECT_LT(out.find("Sim room"), out.find("Sim pump"));
  EXPECT_THAT(
      out, HasSubstr("│ job-new │ 2026-12-09T04:30:12Z │ i2             │ d1      │ submitted │ score 97.0"));
  EXPECT_THAT(out, HasSubstr("│ job-old │ -                    │ i1             │ d1      │ closed    │ " +
                             std::string(60, 'r') + "… │"));
  EXPECT_THAT(out, HasSubstr("│ job-other │ -       │ i9             │ d2      │ open  │ -"));
}

TEST_F(SimsCliTest, NamesAndReasonsFromTheStateFileShowAsTheyStand) {
  std::ofstream(state()) << R"({"claims": {"j": {"org": "local", "sim": "[red]room", "implementation": "i",
      "dataset": "d", "state": "closed", "failure": "[dim]boom[/dim] \u001b[31m"}}, "links": []})";
  ASSERT_EQ(nalto("sim list"), 0) << console.err();
  EXPECT_THAT(console.out(), HasSubstr("Sim [red]room: in no use case"));
  EXPECT_THAT(console.out(), HasSubstr("│ [dim]boom[/dim] \\x1b[31m │"));
}

TEST_F(SimsCliTest, LinkAddsOnceAndSaysWhenAlreadyLinked) {
  EXPECT_EQ(nalto("sim link --sim room --project kitchen"), 0) << console.err();
  EXPECT_EQ(nalto("sim link --sim room --project kitchen"), 0);
  EXPECT_EQ(nalto("sim link --sim room --project hall --org acme"), 0);
  EXPECT_EQ(links(), Json::parse(R"([{"org": "local", "project": "kitchen", "sim": "room"},
                                     {"org": "acme", "project": "hall", "sim": "room"}])"));
  EXPECT_THAT(console.lines(), ::testing::ElementsAre("✓ Added the sim 'room' to the use case 'kitchen'",
                                                      "The sim 'room' is already in the use case 'kitchen'.",
                                                      "✓ Added the sim 'room' to the use case 'hall'"));

  EXPECT_EQ(nalto("sim link --sim room"), 2);
  EXPECT_THAT(console.err(), HasSubstr("--project is required"));
}

TEST_F(SimsCliTest, APublishedClaimRecordsWhenItWasMade) {
  platform::LocalPlatform platform(state());
  Json claim = testing::Loop().run(platform.publish_report_start("local", "room", "i1", "d1"));
  const Json& record = platform.state()["claims"][claim["jobId"].get<std::string>()];
  EXPECT_TRUE(std::regex_match(record["created"].get<std::string>(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")))
      << record.dump();
}

}  // namespace
}  // namespace nalto
