// The evidence page in a real browser: Debian's Chromium, headless, loads the page from disk and dumps
// the DOM its script made, with the page's console on stderr. Skipped only where Chromium is missing
// (scripts/bootstrap installs it).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "node/node_app_fixture.hpp"
#include "support/non_regular_files.hpp"

namespace nalto {
namespace {

using node_app::Catalog;
using node_app::EvidencePages;
using node_app::PageStore;
using node_app::Service;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::TempFolder;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char* const HOSTILE = "</script><script>alert(1)</script>";
const char* const DRAWN = "nalto-evidence-page: drew ";

std::optional<fs::path> chromium() {
  std::istringstream path(std::getenv("PATH") ? std::getenv("PATH") : "");
  for (std::string folder; std::getline(path, folder, ':');)
    if (!folder.empty() && ::access((fs::path(folder) / "chromium").c_str(), X_OK) == 0)
      return fs::path(folder) / "chromium";
  return std::nullopt;
}

std::size_t count_of(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

struct Loaded {
  std::string dom;
  std::vector<std::string> console;  // the page's console lines
};

// The page at `url` as Chromium leaves it once its script ran: a profile of its own, virtual time
// bounded, and the process bounded in real time too.
Loaded load(const fs::path& browser, const std::string& url) {
  const TempFolder profile;
  const testing::Ran ran =
      testing::run({browser.string(), "--headless", "--no-sandbox", "--enable-logging=stderr", "--v=0",
                    "--user-data-dir=" + profile.path().string(), "--no-first-run", "--disable-extensions",
                    "--virtual-time-budget=5000", "--timeout=20000", "--dump-dom", url},
                   40s);
  EXPECT_EQ(ran.exit, testing::exited(0)) << ran.err;
  Loaded loaded{ran.out, {}};
  std::istringstream lines(ran.err);
  for (std::string line; std::getline(lines, line);)
    if (line.find(":CONSOLE") != std::string::npos ||
        line.find("Content Security Policy") != std::string::npos)
      loaded.console.push_back(line);
  return loaded;
}

std::vector<std::string> others_than_drawn(const Loaded& loaded) {
  std::vector<std::string> others;
  for (const std::string& line : loaded.console)
    if (line.find(DRAWN) == std::string::npos) others.push_back(line);
  return others;
}

// Predictions of the recorded values, a little high, for the first `episodes` episodes.
Json example_body(const node_app::Dataset& dataset, std::size_t episodes, Json page) {
  Json sensors = Json::array(), actions = Json::array(), rollouts = Json::array();
  for (const node_app::Column& column : dataset.columns)
    (column.role == node_app::Role::sensor ? sensors : actions).push_back(column.key);
  for (std::size_t e = 0; e < episodes; ++e) {
    const node_app::EpisodeRows rows = dataset.episodes[e];
    Json predictions = Json::object();
    for (const Json& key : sensors) {
      Json values = Json::array();
      const std::vector<double>& recorded = dataset.column(key.get<std::string>())->values;
      for (std::size_t i = 0; i < rows.count; ++i) {
        const double value = recorded[rows.first + i];
        values.push_back(std::isnan(value) ? Json(nullptr) : Json(value * (1.01 + 0.01 * e) + 0.2));
      }
      predictions[key.get<std::string>()] = std::move(values);
    }
    rollouts.push_back(Json{{"episode", e}, {"predictions", std::move(predictions)}});
  }
  return Json{{"dataset_uuid", dataset.id},
              {"core_sensor_variables", sensors},
              {"sensor_variables", sensors},
              {"action_variables", actions},
              {"max_lag_steps", 3},
              {"episodes", std::move(rollouts)},
              {"evidence_page", std::move(page)}};
}

class NodePageBrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    browser_ = chromium();
    if (!browser_) GTEST_SKIP() << "chromium is not installed (scripts/bootstrap installs it)";
    fs::permissions(state_.path(), fs::perms::owner_all);
  }

  // The page written for `body` against the datasets of `root`.
  fs::path page_of(const fs::path& root, const std::function<Json(const node_app::Dataset&)>& body) {
    Service service(Catalog::load(root), {}, node_app::RunIndex(),
                    EvidencePages{.store = PageStore::in_folder(state_.path(), 10)});
    const node_app::Dataset& dataset = *service.catalog()->entries().front().dataset;
    const node_app::Reply reply = service.score_rollouts(body(dataset).dump());
    EXPECT_EQ(reply.status, 200) << reply.body;
    return Json::parse(reply.body)["evidence_page"]["path"].get<std::string>();
  }

  std::optional<fs::path> browser_;
  TempFolder state_;
};

TEST_F(NodePageBrowserTest, TheExamplePageDrawsAChartPairPerScoredSensorWithoutConsoleErrors) {
  const fs::path page =
      page_of(fs::path(NALTO_SOURCE_DIR) / "examples" / "datasets", [](const node_app::Dataset& dataset) {
        return example_body(dataset, 4, Json{{"sim", "examples/sims/heated_room"}});
      });
  const Loaded loaded = load(*browser_, "file://" + page.string());
  EXPECT_THAT(others_than_drawn(loaded), ::testing::IsEmpty());
  // The worst episode is drawn first: the predictions grow worse with the episode.
  EXPECT_THAT(loaded.console, ::testing::Contains(HasSubstr(std::string(DRAWN) + "8 charts of episode 3")));
  EXPECT_THAT(loaded.dom, HasSubstr("<main id=\"page\" data-episode=\"3\">"));
  EXPECT_EQ(count_of(loaded.dom, "class=\"sensor\""), 4u);
  EXPECT_EQ(count_of(loaded.dom, "data-episode=\"3\""), 9u);  // the page and its 8 charts
  EXPECT_GE(count_of(loaded.dom, "<canvas"), 8u);
  EXPECT_THAT(loaded.dom, HasSubstr("room  temperature (c0)"));
  EXPECT_THAT(loaded.dom, HasSubstr("as private as the dataset"));
}

TEST_F(NodePageBrowserTest, TheEpisodeInTheAddressSwitchesTheSeries) {
  const fs::path page =
      page_of(fs::path(NALTO_SOURCE_DIR) / "examples" / "datasets", [](const node_app::Dataset& dataset) {
        return example_body(dataset, 4, Json{{"sim", "examples/sims/heated_room"}});
      });
  const Loaded loaded = load(*browser_, "file://" + page.string() + "#episode=1");
  EXPECT_THAT(others_than_drawn(loaded), ::testing::IsEmpty());
  EXPECT_THAT(loaded.dom, HasSubstr("<main id=\"page\" data-episode=\"1\">"));
  EXPECT_EQ(count_of(loaded.dom, "data-episode=\"1\""), 9u);
  EXPECT_EQ(count_of(loaded.dom, "data-episode=\"3\""), 0u);
  EXPECT_THAT(loaded.dom, HasSubstr("<option value=\"1\">episode 1: "));
}

TEST_F(NodePageBrowserTest, AHostileNameShowsAsTextAndRunsNoScript) {
  const TempFolder root;
  std::string csv = "episode,row,s,u\n";
  for (int i = 0; i < 40; ++i) csv += "0," + std::to_string(i) + "," + std::to_string(i % 7) + ",1\n";
  testing::make_folder(root / "x",
                       dump_json(Json{{"id", "hostile"},
                                      {"name", HOSTILE},
                                      {"columns",
                                       {{{"key", "s"}, {"raw_name", HOSTILE}, {"role", "sensor"}},
                                        {{"key", "u"}, {"raw_name", "<b>bold</b>"}, {"role", "action"}}}}}),
                       csv);
  const fs::path page = page_of(root.path(), [](const node_app::Dataset& dataset) {
    return example_body(dataset, 1, Json{{"sim", "<img src=x onerror=alert(2)>"}, {"caption", HOSTILE}});
  });
  const Loaded loaded = load(*browser_, "file://" + page.string());
  EXPECT_THAT(others_than_drawn(loaded), ::testing::IsEmpty());
  EXPECT_THAT(loaded.console, ::testing::Contains(HasSubstr(std::string(DRAWN) + "2 charts")));
  EXPECT_THAT(loaded.dom, HasSubstr("&lt;/script&gt;&lt;script&gt;alert(1)&lt;/script&gt; (s)</h3>"));
  EXPECT_THAT(loaded.dom, HasSubstr("&lt;img src=x onerror=alert(2)&gt;"));
  EXPECT_THAT(loaded.dom, HasSubstr("&lt;b&gt;bold&lt;/b&gt;"));
  EXPECT_EQ(count_of(loaded.dom, "<script"), 3u);
  EXPECT_THAT(loaded.dom, Not(HasSubstr("<img src=x")));
  EXPECT_THAT(loaded.dom, Not(HasSubstr("<b>bold")));
}

TEST_F(NodePageBrowserTest, TheContentSecurityPolicyStopsAScriptThePageDoesNotName) {
  fs::path page =
      page_of(fs::path(NALTO_SOURCE_DIR) / "examples" / "datasets", [](const node_app::Dataset& dataset) {
        return example_body(dataset, 1, Json{{"sim", "s"}});
      });
  std::ifstream in(page);
  std::string html{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  html.replace(html.find("<main"), 0, "<script>console.error('injected script ran')</script>");
  const fs::path tampered = state_ / "tampered.html";
  std::ofstream(tampered) << html;
  const Loaded loaded = load(*browser_, "file://" + tampered.string());
  EXPECT_THAT(loaded.console, Not(::testing::Contains(HasSubstr("injected script ran"))));
  EXPECT_THAT(loaded.console, ::testing::Contains(HasSubstr("Content Security Policy")));
  // The page's own scripts, named by their hashes, still ran.
  EXPECT_THAT(loaded.console, ::testing::Contains(HasSubstr(DRAWN)));
}

}  // namespace
}  // namespace nalto
