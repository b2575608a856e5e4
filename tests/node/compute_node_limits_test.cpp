// The reference node against hostile and unlucky clients and folders: deep or large bodies, slow or
// many connections, special files, symlink loops, endless lines, two lengths of one request, signals
// while it loads, scores over too few rows, and text for its log that a terminal would act on.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <future>

#include "node/node_app_fixture.hpp"
#include "support/subprocess.hpp"

namespace nalto {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using node_app::Catalog;
using node_app::DatasetError;
using node_app::MIN_SCORED_ROWS;
using node_app::ServerOptions;
using node_app::Service;
using testing::fresh_dir;
using ::testing::HasSubstr;
using testing::make_folder;
using testing::RawClient;
using testing::RunningNode;
using ::testing::StartsWith;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr const char* ID = "limits-1";
const std::string DESCRIPTION = R"({"id": "limits-1", "name": "limits", "columns": [
  {"key": "s", "raw_name": "Level", "role": "sensor"}, {"key": "u", "raw_name": "Power", "role": "action"}]})";
constexpr int ROWS[] = {12, 10, 4};

double truth(int episode, int row) {
  return 0.5 * row + episode;
}

std::string rows_csv() {
  std::string text = "episode,row,s,u\n";
  for (int e = 0; e < 3; ++e)
    for (int i = 0; i < ROWS[e]; ++i)
      text += std::to_string(e) + "," + std::to_string(i) + "," + plain_text(truth(e, i)) + ",1\n";
  return text;
}

// Episode `e`'s first `rows` truths, `lag` rows late (the first ones repeated), as predictions.
Json predicted(int e, int rows, int lag = 0) {
  Json values = Json::array();
  for (int i = 0; i < rows; ++i) values.push_back(truth(e, std::max(0, i - lag)));
  return Json{{"episode", e}, {"predictions", {{"s", values}}}};
}

Json rollouts(const std::string& run, Json episodes, int max_lag = 0) {
  return Json{{"dataset_uuid", ID},
              {"simulator_id", "sim-1"},
              {"simulator_implementation_id", "impl-1"},
              {"validation_run_id", run},
              {"bundle_content_hash", "h1"},
              {"core_sensor_variables", {"Level"}},
              {"sensor_variables", {"s"}},
              {"action_variables", {"u"}},
              {"max_lag_steps", max_lag},
              {"episodes", std::move(episodes)}};
}

std::string nested(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

// "POST path" with these headers and body, as one write; the connection ends with the answer.
std::string raw_post(const std::string& path, const std::string& headers, const std::string& body = {}) {
  return "POST " + path +
         " HTTP/1.1\r\nHost: node\r\nConnection: close\r\nContent-Type: application/json\r\n" + headers +
         "\r\n" + body;
}

class NodeLimitsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new fs::path(fresh_dir());
    make_folder(*root_ / "limits", DESCRIPTION, rows_csv());
  }
  static void TearDownTestSuite() {
    fs::remove_all(*root_);
    delete root_;
  }
  static fs::path* root_;
};
fs::path* NodeLimitsTest::root_ = nullptr;

// --- Deeply nested JSON ---------------------------------------------------------------------------

TEST_F(NodeLimitsTest, DeeplyNestedBodiesGetTheRefusalOfMalformedBodies) {
  Service service(Catalog::load(*root_));
  const std::string deep = R"({"validation_run_id": )" + nested(60'000) + R"(, "bundle_content_hash": "h"})";
  const struct {
    std::string body;
    bool rollouts;
    std::string detail;
  } cases[] = {
      {deep, true, "the request body is not valid JSON: nested deeper than 128 levels"},
      {R"({"dataset_uuid": )" + nested(60'000) + R"(, "episodes": [0]})", false,
       "the request body is not valid JSON: nested deeper than 128 levels"},
      {R"({"validation_run_id": )" + nested(128) + "}", true, "nested deeper than 128 levels"},
      {R"({"validation_run_id": )" + nested(127) + "}", true,
       "'validation_run_id' must be a text or a whole number, not list"},
      {R"({"validation_run_id": 1e999})", true, "the request body is not valid JSON: number overflow"},
  };
  for (const auto& c : cases) {
    const node_app::Reply reply =
        c.rollouts ? service.analyze_rollouts(c.body) : service.analysis_actions(c.body);
    EXPECT_EQ(reply.status, 422) << c.detail;
    EXPECT_THAT(Json::parse(reply.body)["detail"].get<std::string>(), HasSubstr(c.detail));
  }

  // Through HTTP too, and the node goes on answering.
  const RunningNode node(*root_);
  const testing::NodeAnswer refused = node.request("POST", "/ml/sim-analyze-rollouts", deep);
  EXPECT_EQ(refused.status, 422);
  EXPECT_EQ(node.request("GET", "/ml/datasets").status, 200);
}

TEST(NodeDatasetFilesTest, ADeeplyNestedOrOversizedDescriptionIsNoDataset) {
  const fs::path root = fresh_dir();
  const struct {
    std::string description, error;
  } cases[] = {
      {R"({"id": "x", "name": "x", "columns": [], "extra": )" + nested(60'000) + "}",
       "dataset.json: not valid JSON (nested deeper than 128 levels"},
      {R"({"id": "x", "name": "x", "columns": [)" + std::string(node_app::MAX_DESCRIPTION_BYTES, ' ') + "]}",
       "dataset.json: larger than 1024 KiB"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const fs::path folder = make_folder(root / std::to_string(i), cases[i].description, "episode,row\n");
    try {
      node_app::load_dataset(folder);
      ADD_FAILURE() << "loaded: " << cases[i].error;
    } catch (const DatasetError& e) {
      EXPECT_THAT(e.what(), HasSubstr(cases[i].error));
    }
  }
  fs::remove_all(root);
}

// --- Special files --------------------------------------------------------------------------------

// Loads `folder` on another thread, at most 2 s. A load stuck opening a named pipe is released by
// opening the pipe's other end, so that a failing test still ends.
std::string load_failure(const fs::path& folder, const fs::path& pipe) {
  std::future<std::string> loading = std::async(std::launch::async, [folder] {
    try {
      node_app::load_dataset(folder);
      return std::string("loaded");
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
  });
  if (loading.wait_for(2s) != std::future_status::ready) {
    const Fd writer(::open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    return "still loading after 2 s; then: " + loading.get();
  }
  return loading.get();
}

TEST(NodeDatasetFilesTest, OnlyRegularFilesAreRead) {
  const fs::path root = fresh_dir();
  const struct {
    std::string file;
    bool pipe;
    std::string error;
  } cases[] = {
      {"rows.csv", true, "rows.csv: not a regular file (a named pipe)"},
      {"rows.csv", false, "rows.csv: not a regular file (a folder)"},
      {"dataset.json", true, "dataset.json: not a regular file (a named pipe)"},
      {"dataset.json", false, "dataset.json: not a regular file (a folder)"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const fs::path folder = make_folder(root / std::to_string(i), DESCRIPTION, rows_csv());
    const fs::path special = folder / cases[i].file;
    fs::remove(special);
    if (cases[i].pipe)
      ASSERT_EQ(::mkfifo(special.c_str(), 0600), 0);
    else
      fs::create_directory(special);
    EXPECT_THAT(load_failure(folder, special), HasSubstr(cases[i].error)) << cases[i].error;
  }
  fs::remove_all(root);
}

TEST(NodeDatasetFilesTest, AFolderWithAPipeIsSkippedWithItsReason) {
  const fs::path root = fresh_dir();
  make_folder(root / "limits", DESCRIPTION, rows_csv());
  const RunningNode node(root);
  fs::create_directories(root / "piped");
  std::ofstream(root / "piped" / "dataset.json") << R"({"id": "p", "name": "piped", "columns": []})";
  ASSERT_EQ(::mkfifo((root / "piped" / "rows.csv").c_str(), 0600), 0);

  std::future<testing::NodeAnswer> listing =
      std::async(std::launch::async, [&node] { return node.request("GET", "/ml/datasets"); });
  if (listing.wait_for(2s) != std::future_status::ready) {
    const Fd writer(::open((root / "piped" / "rows.csv").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    ADD_FAILURE() << "the listing waited on the pipe";
  }
  const Json listed = listing.get().json();
  EXPECT_EQ(listed["datasets"].size(), 1u);
  ASSERT_EQ(listed["skipped"].size(), 1u) << listed;
  EXPECT_EQ(listed["skipped"][0]["folder"], "piped");
  EXPECT_THAT(listed["skipped"][0]["reason"].get<std::string>(), HasSubstr("rows.csv: not a regular file"));
  fs::remove_all(root);
}

// --- Entries that cannot be looked at --------------------------------------------------------------

TEST(NodeDatasetFilesTest, AnEntryThatCannotBeLookedAtIsSkippedWithItsReason) {
  const fs::path root = fresh_dir();
  make_folder(root / "limits", DESCRIPTION, rows_csv());
  fs::create_symlink("loop", root / "loop");
  // Present at the start: the node starts, and lists it as skipped.
  const Catalog catalog = Catalog::load(root);
  EXPECT_EQ(catalog.size(), 1u);
  ASSERT_EQ(catalog.entries().size(), 2u);
  EXPECT_EQ(catalog.entries()[1].failure, (root / "loop").string() +
                                              ": cannot be read (Too many levels of "
                                              "symbolic links)");

  const RunningNode node(root);
  // Added later: a loop of two links, and a folder whose dataset.json is a loop.
  fs::create_symlink("knot-b", root / "knot-a");
  fs::create_symlink("knot-a", root / "knot-b");
  fs::create_directories(root / "tangled");
  fs::create_symlink("dataset.json", root / "tangled" / "dataset.json");
  // A dangling link is no folder, as before.
  fs::create_symlink("nowhere", root / "dangling");

  const testing::NodeAnswer listing = node.request("GET", "/ml/datasets");
  ASSERT_EQ(listing.status, 200) << listing.body;
  const Json listed = listing.json();
  EXPECT_EQ(listed["datasets"].size(), 1u);
  std::vector<std::string> skipped;
  for (const Json& entry : listed["skipped"]) {
    skipped.push_back(entry["folder"].get<std::string>());
    EXPECT_THAT(entry["reason"].get<std::string>(),
                HasSubstr("cannot be read (Too many levels of symbolic links)"));
  }
  EXPECT_EQ(skipped, (std::vector<std::string>{"knot-a", "knot-b", "loop", "tangled"}));
  EXPECT_EQ(node.request("GET", "/ml/datasets/unknown").status, 404);
  EXPECT_EQ(node.request("GET", "/ml/datasets/limits").status, 200);
  // Each is told of once, however often it is scanned.
  const std::vector<std::string> log = node.log();
  EXPECT_EQ(
      std::count_if(log.begin(), log.end(),
                    [](const std::string& line) { return line.find("/tangled: ") != std::string::npos; }),
      1);
  fs::remove_all(root);
}

TEST(NodeDatasetFilesTest, ALineOverTheLimitIsRefusedByTheCountingPass) {
  const fs::path root = fresh_dir();
  const fs::path folder = make_folder(root / "endless", DESCRIPTION, "episode,row,s,u\n");
  // 64 GiB without a line break, on no disk: a pass that reads it whole takes many seconds.
  const fs::path rows = folder / "rows.csv";
  fs::resize_file(rows, std::uintmax_t(64) << 30);
  std::future<std::string> loading = std::async(std::launch::async, [folder] {
    try {
      node_app::load_dataset(folder);
      return std::string("loaded");
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
  });
  if (loading.wait_for(5s) != std::future_status::ready) {
    fs::resize_file(rows, 0);  // ends the read, so that a failing test still ends
    ADD_FAILURE() << "still reading after 5 s";
  }
  EXPECT_EQ(loading.get(), rows.string() + " line 2: longer than 16 MiB; rows end with a line break");
  fs::remove_all(root);
}

// --- Slow clients and many connections ---------------------------------------------------------

TEST_F(NodeLimitsTest, ClientsThatHoldConnectionsDoNotStarveTheOthers) {
  const RunningNode node(*root_);
  std::vector<std::unique_ptr<RawClient>> holders;
  for (int i = 0; i < 16; ++i) {
    holders.push_back(std::make_unique<RawClient>(node.port()));
    ASSERT_TRUE(holders.back()->send("GET /ml/datasets HTTP/1.1\r\nHost: no"));
  }
  const auto start = Clock::now();
  EXPECT_EQ(node.request("GET", "/ml/datasets", {}, {}, 2s).status, 200);
  // A burst of connections does not wait for the clients' retries either (a second or more).
  EXPECT_LT(Clock::now() - start, 500ms);
}

TEST_F(NodeLimitsTest, HeadersThatDripAreCutAtTheirTimeLimit) {
  const RunningNode node(*root_, {.header_time = 300ms});
  RawClient slow(node.port());
  ASSERT_TRUE(slow.send("GET /ml/datasets HTTP/1.1\r\nX-Drip: "));
  const auto start = Clock::now();
  std::string answer;
  // A byte every 50 ms: each read is quick, only the whole is late.
  while (!slow.closed && Clock::now() - start < 3s) {
    if (!slow.send("x")) break;
    answer += slow.read_all(50ms);
  }
  answer += slow.read_all(1s);
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_EQ(testing::status_of(answer), 408) << answer;
  EXPECT_THAT(testing::body_of(answer)["detail"].get<std::string>(),
              StartsWith("the request did not arrive in time: this compute node waits 0.3 s for a request's "
                         "headers"));
  EXPECT_TRUE(slow.closed);
}

TEST_F(NodeLimitsTest, ABodyMustKeepItsPace) {
  const RunningNode node(*root_, {.transfer_grace = 200ms, .min_bytes_per_second = 1024});
  RawClient slow(node.port());
  ASSERT_TRUE(slow.send(raw_post("/ml/analysis-actions", "Content-Length: 100000\r\n", "{\"dataset_uuid\"")));
  const auto start = Clock::now();
  const std::string answer = slow.read_all(3s);
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_EQ(testing::status_of(answer), 408) << answer;
  EXPECT_TRUE(slow.closed);

  // A body that keeps the pace is read whole, however long it takes.
  RawClient steady(node.port());
  const std::string body = R"({"dataset_uuid": "limits-1", "episodes": [2]}                      )";
  ASSERT_TRUE(steady.send(
      raw_post("/ml/analysis-actions", "Content-Length: " + std::to_string(body.size()) + "\r\n")));
  for (std::size_t at = 0; at < body.size(); at += 8) {
    ASSERT_TRUE(steady.send(body.substr(at, 8)));
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(testing::status_of(steady.read_all(3s)), 200);
}

TEST_F(NodeLimitsTest, ConnectionsBeyondTheLimitAreRefusedAtOnce) {
  const RunningNode node(*root_, {.max_connections = 2});
  auto first = std::make_unique<RawClient>(node.port());
  auto second = std::make_unique<RawClient>(node.port());
  ASSERT_TRUE(first->send("GET /ml/datasets HTTP/1.1\r\n"));
  ASSERT_TRUE(second->send("GET /ml/datasets HTTP/1.1\r\n"));

  // Asks on new connections until the answer has `status`, for at most 2 s: the node sees a
  // connection open or closed a moment after the client does.
  std::size_t refusals = 0;
  const auto ask_until = [&](int status) {
    std::string answer;
    for (const auto start = Clock::now(); Clock::now() - start < 2s;) {
      RawClient client(node.port());
      client.send("GET /ml/datasets HTTP/1.1\r\nHost: node\r\nConnection: close\r\n\r\n");
      answer = client.read_all(1s);
      refusals += testing::status_of(answer) != 200;
      if (testing::status_of(answer) == status) break;
    }
    return answer;
  };
  const std::string refused = ask_until(503);
  ASSERT_EQ(testing::status_of(refused), 503) << refused;
  EXPECT_EQ(testing::body_of(refused)["detail"],
            "this compute node serves 2 connections at once and all are taken; try again shortly");
  EXPECT_THAT(node.log(), ::testing::Contains("refused 1 connection: 2 were open already"));

  first.reset();
  second.reset();
  EXPECT_EQ(testing::status_of(ask_until(200)), 200);
  // Every refusal is told, those of a burst together, at the latest when a connection is let in again.
  std::size_t told = 0;
  for (const std::string& line : node.log())
    if (line.starts_with("refused ")) told += std::stoul(line.substr(8));
  EXPECT_EQ(told, refusals) << ::testing::PrintToString(node.log());
}

// --- Large bodies -----------------------------------------------------------------------------

TEST_F(NodeLimitsTest, TheBodyLimitIsWhatTheLargestDatasetsPredictionsNeed) {
  const std::size_t ceiling = std::size_t(512) << 20;
  const std::size_t small = node_app::body_limit(Catalog::load(*root_), ceiling);
  EXPECT_GE(small, std::size_t(1) << 20);
  EXPECT_LT(small, std::size_t(2) << 20);

  const fs::path root = fresh_dir();
  constexpr int rows = 20'000;
  std::string csv = "episode,row,s,t,u\n";
  for (int i = 0; i < rows; ++i) csv += "0," + std::to_string(i) + ",1,2,3\n";
  make_folder(root / "big", R"({"id": "big", "name": "big", "columns": [
    {"key": "s", "role": "sensor"}, {"key": "t", "role": "sensor"}, {"key": "u", "role": "action"}]})",
              csv);
  make_folder(root / "small", DESCRIPTION, rows_csv());
  const Catalog catalog = Catalog::load(root);
  const std::size_t limit = node_app::body_limit(catalog, ceiling);
  // Every row predicted for both sensors, with the widest numbers, indented as a person would write it.
  const std::vector<double> values(rows, -1.2345678901234567e-300);
  Json body =
      rollouts("run", Json::array({Json{{"episode", 0}, {"predictions", {{"s", values}, {"t", values}}}}}));
  body["sensor_variables"] = {"s", "t"};
  EXPECT_GE(limit, body.dump(4).size());
  EXPECT_LE(limit, (std::size_t(1) << 20) + 2 * rows * 64 + 4096);
  EXPECT_EQ(node_app::body_limit(catalog, 4096), 4096u);
  fs::remove_all(root);
}

TEST_F(NodeLimitsTest, ALengthOverTheLimitIsRefusedBeforeTheBodyIsRead) {
  const RunningNode node(*root_);
  for (const std::string path : {"/ml/sim-analyze-rollouts", "/ml/sim-score-rollouts"}) {
    SCOPED_TRACE(path);
    for (const std::string expect : {"", "Expect: 100-continue\r\n"}) {
      RawClient client(node.port());
      ASSERT_TRUE(client.send(raw_post(path, expect + "Content-Length: 1000000000000\r\n")));
      const auto start = Clock::now();
      const std::string answer = client.read_all(3s);
      EXPECT_LT(Clock::now() - start, 1s);
      EXPECT_EQ(testing::status_of(answer), 413) << answer;
      EXPECT_THAT(
          testing::body_of(answer)["detail"].get<std::string>(),
          ::testing::MatchesRegex("the request body is too large for this compute node: it takes JSON "
                                  "bodies of up to 1\\.[0-9] MiB, sent as Content-Type: application/json"));
    }
    // A body that the client sends whole, over the limit but far under the old fixed one.
    const testing::NodeAnswer whole =
        node.request("POST", path, R"({"x": ")" + std::string(3 << 20, 'x') + R"("})");
    EXPECT_EQ(whole.status, 413);
  }
}

std::string chunked(const std::string& body, std::size_t chunk) {
  std::string text;
  char size[32];
  for (std::size_t at = 0; at < body.size(); at += chunk) {
    const std::string part = body.substr(at, chunk);
    std::snprintf(size, sizeof size, "%zx\r\n", part.size());
    text += size + part + "\r\n";
  }
  return text + "0\r\n\r\n";
}

TEST_F(NodeLimitsTest, AChunkedBodyIsCountedWhileItIsRead) {
  const RunningNode node(*root_, {.max_body_bytes = 16 * 1024});
  const struct {
    std::string body;
    int status;
  } cases[] = {
      {R"({"dataset_uuid": "limits-1", "episodes": [0, 2]})", 200},
      {R"({"dataset_uuid": "limits-1", "episodes": [0, 2], "padding": ")" + std::string(20 * 1024, ' ') +
           R"("})",
       413},
  };
  for (const auto& c : cases) {
    RawClient client(node.port());
    ASSERT_TRUE(client.send(
        raw_post("/ml/analysis-actions", "Transfer-Encoding: chunked\r\n", chunked(c.body, 1000))));
    EXPECT_EQ(testing::status_of(client.read_all(3s)), c.status);
  }
  // A body for no route is not read at all.
  RawClient elsewhere(node.port());
  ASSERT_TRUE(elsewhere.send(raw_post("/ml/elsewhere", "Transfer-Encoding: chunked\r\n",
                                      chunked(std::string(64 * 1024, 'x'), 4096))));
  EXPECT_EQ(testing::status_of(elsewhere.read_all(3s)), 404);
}

TEST_F(NodeLimitsTest, OnlyAFewBodiesAreHeldAtOnce) {
  const RunningNode node(*root_, {.max_body_bytes = 16 * 1024});
  std::vector<std::unique_ptr<RawClient>> holders;
  for (std::size_t i = 0; i < node_app::BODIES_AT_ONCE; ++i) {
    holders.push_back(std::make_unique<RawClient>(node.port()));
    ASSERT_TRUE(holders.back()->send(raw_post("/ml/analysis-actions", "Content-Length: 16384\r\n", "{")));
  }
  const std::string small = R"({"dataset_uuid": "limits-1", "episodes": [2]})";
  const std::string request =
      raw_post("/ml/analysis-actions", "Content-Length: " + std::to_string(small.size()) + "\r\n", small);
  std::string refused;
  for (const auto start = Clock::now(); testing::status_of(refused) != 503 && Clock::now() - start < 2s;) {
    RawClient client(node.port());
    client.send(request);
    refused = client.read_all(1s);
  }
  ASSERT_EQ(testing::status_of(refused), 503) << refused;
  EXPECT_THAT(testing::body_of(refused)["detail"].get<std::string>(),
              HasSubstr("is reading other large requests"));

  holders.clear();
  int status = 0;
  for (const auto start = Clock::now(); status != 200 && Clock::now() - start < 2s;) {
    RawClient client(node.port());
    client.send(request);
    status = testing::status_of(client.read_all(1s));
  }
  EXPECT_EQ(status, 200);
}

TEST_F(NodeLimitsTest, TwoDifferentLengthsOfOneRequestAreRefused) {
  const RunningNode node(*root_);
  const std::string body = R"({"dataset_uuid": "limits-1", "episodes": [2]})";
  const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
  const struct {
    std::string method, headers;
    int status;
  } cases[] = {
      {"POST", length + "Content-Length: 2\r\n", 400},
      {"POST", "Content-Length: 2\r\n" + length, 400},
      {"GET", length + "content-length: 3\r\n", 400},
      {"POST", "Content-Length: 2, " + std::to_string(body.size()) + "\r\n", 400},
      {"POST", "Content-Length: x\r\n", 400},
      {"POST", length + length + "Connection: close\r\n", 200},
  };
  for (const auto& c : cases) {
    RawClient client(node.port());
    const std::string path = c.method == "GET" ? "/ml/datasets" : "/ml/analysis-actions";
    ASSERT_TRUE(client.send(c.method + " " + path +
                            " HTTP/1.1\r\nHost: node\r\nContent-Type: application/json\r\n" + c.headers +
                            "\r\n" + body));
    const std::string answer = client.read_all(3s);
    EXPECT_EQ(testing::status_of(answer), c.status) << c.headers << answer;
    if (c.status == 400) {
      EXPECT_THAT(testing::body_of(answer)["detail"].get<std::string>(),
                  HasSubstr("Content-Length must be one whole number, given once"));
      EXPECT_TRUE(client.closed);
    }
  }
}

// --- The token ----------------------------------------------------------------------------------

TEST_F(NodeLimitsTest, TheTokenIsComparedWhole) {
  const RunningNode node(*root_, {.token = "s3cret"});
  const struct {
    std::string headers;
    int status;
  } cases[] = {
      {"Authorization: Bearer s3cret\r\n", 200},
      {"Authorization: Bearer s3cret\0junk\r\n"s, 401},
      {"Authorization: Bearer s3cret%00junk\r\n", 401},
      {"Authorization: Bearer s3cret\r\nAuthorization: Bearer other\r\n", 401},
      {"Authorization: Bearer s3cre\r\n", 401},
  };
  for (const auto& c : cases) {
    RawClient client(node.port());
    ASSERT_TRUE(
        client.send("GET /ml/datasets HTTP/1.1\r\nHost: node\r\nConnection: close\r\n" + c.headers + "\r\n"));
    EXPECT_EQ(testing::status_of(client.read_all(3s)), c.status) << c.headers;
  }
}

// --- Text for the log ---------------------------------------------------------------------------

TEST(NodeLogTest, EscapesWhatATerminalWouldActOn) {
  const struct {
    std::string text, shown;
  } cases[] = {
      {"plain /ml/datasets", "plain /ml/datasets"},
      {"caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC", "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC"},
      {"\x1b[2J\x7f\t", "\\x1b[2J\\x7f\\x09"},
      {"\xC2\x9B"
       "31m",
       "\\u009b31m"},
      {"\xC2\x85", "\\u0085"},
      {"a\xE2\x80\xAE"
       "cba",
       "a\\u202ecba"},
      {"\xE2\x81\xA6x\xE2\x81\xA9", "\\u2066x\\u2069"},
      {"\xE2\x80\x8E\xE2\x80\x8F\xD8\x9C", "\\u200e\\u200f\\u061c"},
      {"line\xE2\x80\xA8next", "line\\u2028next"},
      {"\xFF\xFE", "\\xff\\xfe"},
      {"cut \xE2\x80", "cut \\xe2\\x80"},
      {"\xC0\xAF", "\\xc0\\xaf"},
  };
  for (const auto& c : cases) EXPECT_EQ(node_app::printable(c.text), c.shown);
}

TEST_F(NodeLimitsTest, RequestPathsAreLoggedEscaped) {
  const RunningNode node(*root_);
  RawClient client(node.port());
  ASSERT_TRUE(client.send(
      "GET /ml/datasets/%C2%9B31m%E2%80%AEx%FF HTTP/1.1\r\nHost: node\r\nConnection: close\r\n\r\n"));
  EXPECT_EQ(testing::status_of(client.read_all(3s)), 404);
  for (int i = 0; i < 2000 && node.log().empty(); ++i) std::this_thread::sleep_for(1ms);
  EXPECT_THAT(node.log(), ::testing::Contains("GET /ml/datasets/\\u009b31m\\u202ex\\xff 404"));
}

// --- Minimum rows per sensor --------------------------------------------------------------------

TEST_F(NodeLimitsTest, ASensorIsScoredOverTenRowsOrMore) {
  Service service(Catalog::load(*root_));
  const struct {
    std::string name;
    Json episodes;
    int max_lag;
    std::optional<std::size_t> rows;  // absent: not scored
    std::string warning;
  } cases[] = {
      {"one row", Json::array({predicted(0, 1)}), 0, std::nullopt,
       "'Level' was not scored: 1 replayed row has both a recorded value and a prediction, and a sensor is "
       "scored over 10 rows or more"},
      {"a short episode", Json::array({predicted(2, 4)}), 0, std::nullopt,
       "'Level' was not scored: 4 replayed rows have both"},
      {"nine rows", Json::array({predicted(1, 9)}), 0, std::nullopt,
       "'Level' was not scored: 9 replayed rows have both"},
      {"ten rows", Json::array({predicted(1, 10)}), 0, 10, ""},
      {"ten rows of two episodes", Json::array({predicted(2, 4), predicted(0, 6)}), 0, 10, ""},
      // Lag 1 would match exactly, but over nine rows only.
      {"a lag that leaves too few rows", Json::array({predicted(1, 10, 1)}), 3, 10, ""},
  };
  int run = 0;
  for (const auto& c : cases) {
    const node_app::Reply reply =
        service.analyze_rollouts(rollouts("run-" + std::to_string(++run), c.episodes, c.max_lag).dump());
    ASSERT_EQ(reply.status, 200) << c.name << ": " << reply.body;
    const Json answer = Json::parse(reply.body);
    if (c.rows) {
      const Json& sensor = answer["simulator_validation"]["evaluation"]["sensors"][0];
      EXPECT_EQ(sensor["n_rows"], *c.rows) << c.name;
      EXPECT_EQ(sensor["lag_steps"], 0) << c.name;
      EXPECT_EQ(answer["warnings"].dump().find("was not scored"), std::string::npos) << c.name;
    } else {
      EXPECT_EQ(answer["simulator_validation"], nullptr) << c.name;
      EXPECT_EQ(answer["summary"]["score_percent"], nullptr) << c.name;
      const std::vector<std::string> warnings = answer["warnings"];
      EXPECT_THAT(warnings, ::testing::Contains(StartsWith(c.warning))) << c.name;
      EXPECT_EQ(warnings.back(),
                "Nothing could be compared with the dataset: no sensor has 10 replayed rows with both a "
                "recorded value and a prediction");
    }
  }
}

TEST(NodeFitTest, ALagMustCompareTheFewestRowsAsked) {
  std::vector<double> wave;
  for (int i = 0; i < 12; ++i) wave.push_back((i * 7) % 11);
  std::vector<double> late(2, 0.0);
  late.insert(late.end(), wave.begin(), wave.end() - 2);
  const node_app::SeriesPair pair{wave, late};
  const struct {
    std::size_t min_rows;
    std::optional<std::size_t> lag, rows;
  } cases[] = {{1, 2, 10}, {10, 2, 10}, {11, 0, 12}, {12, 0, 12}, {13, std::nullopt, std::nullopt}};
  for (const auto& c : cases) {
    const auto fit = node_app::fit_sensor({&pair, 1}, 5, c.min_rows);
    ASSERT_EQ(fit.has_value(), c.lag.has_value()) << c.min_rows;
    if (!fit) continue;
    EXPECT_EQ(fit->lag_steps, *c.lag) << c.min_rows;
    EXPECT_EQ(fit->n_rows, *c.rows) << c.min_rows;
  }
  EXPECT_EQ(node_app::rows_compared({&pair, 1}), 12u);
  static_assert(MIN_SCORED_ROWS == 10);
}

// --- Signals while the datasets are read ------------------------------------------------------

// Whether the process's main thread blocks SIGTERM, as the node does from before it reads its datasets.
bool blocks_sigterm(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("SigBlk:")) return (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1;
  return false;
}

TEST(NodeSignalTest, ASignalWhileTheDatasetsAreReadEndsTheNode) {
  const fs::path root = fresh_dir();
  // Enough rows that reading them takes a while after the signal mask is set.
  std::string rows = "episode,row\n";
  for (int i = 0; i < 3'000'000; ++i) rows += "0," + std::to_string(i) + "\n";
  make_folder(root / "large", R"({"id": "large", "name": "large", "columns": []})", rows);
  rows.clear();

  testing::Subprocess node({NALTO_COMPUTE_NODE_EXE, "--datasets", root.string(), "--port", "0"});
  const auto start = Clock::now();
  while (!blocks_sigterm(node.pid()) && Clock::now() - start < 5s) std::this_thread::sleep_for(100us);
  ASSERT_TRUE(blocks_sigterm(node.pid()));
  node.signal(SIGTERM);

  const std::optional<testing::ExitStatus> status = node.finish(Clock::now() + 5s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, testing::killed_by(SIGTERM)) << node.err();
  EXPECT_EQ(node.out().find("serving"), std::string::npos) << "it was done reading: " << node.out();
  fs::remove_all(root);
}

}  // namespace
}  // namespace nalto
