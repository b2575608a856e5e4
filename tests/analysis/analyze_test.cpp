#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "nalto/analysis/analysis.hpp"
#include "support/fake_runtime.hpp"
#include "support/fixtures.hpp"

namespace nalto {
namespace {

using testing::CapturedConsole;
using testing::CapturedLog;
using ::testing::Contains;
using ::testing::ElementsAre;
using testing::FakeNode;
using testing::FakeSimClient;
using testing::FakeSimProcess;
using testing::FakeSimRuntime;
using ::testing::IsEmpty;
using testing::Journal;
using testing::Loop;

const std::string PATH = "./sims/boiler";
const std::string SHA = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
const std::string REPLAY_HINT = "); validate it with `nalto sim validate --steps 100`";
constexpr int PORT = 47123;
const std::string ADDRESS = "localhost:47123";

Timing short_timing() {
  Timing t;
  t.columns_request_s = 5;
  t.analysis_request_s = 5;
  t.serving_s = 7.5;
  t.exit_wait_s = 2;
  return t;
}

std::vector<std::string> keys_of(const Json& object) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : object.items()) keys.push_back(key);
  return keys;
}

// An integer that crossed the wire as "20" instead of "20.0" would compare equal to the float.
bool numbers_are_floats(const Json& value) {
  if (value.is_number()) return value.is_number_float();
  if (value.is_structured()) return std::all_of(value.begin(), value.end(), numbers_are_floats);
  return true;
}

std::string type_of(const std::exception_ptr& e) {
  if (!e) return "<no failure>";
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& x) {
    return type_name_of(x);
  } catch (...) {
  }
  return "<foreign>";
}

std::string text_of(const std::exception_ptr& e) {
  if (!e) return "<no failure>";
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& x) {
    return x.what();
  } catch (...) {
  }
  return "<foreign>";
}

std::exception_ptr cause_of(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const PublishReportError& p) {
    return p.cause();
  } catch (...) {
  }
  return nullptr;
}

Json mappings() {
  return Json{{"sensor_space",
               {{"mappings", Json::array({{{"name", "[0]"}, {"name_mapped", "temp"}},
                                          {{"name", "[1]"}, {"name_mapped", "hum"}}})}}},
              {"action_space", {{"mappings", Json::array({{{"name", "[0]"}, {"name_mapped", "power"}}})}}}};
}

const Json RESET_OBS = Json::array({20.0, 0.5});

// What the sim observes after a step with `power`: temp follows the power, hum cannot be read at row 2.
Json observation(double power, int row) {
  return Json::array({power * 10, row == 2 ? Json() : Json(0.5 + row)});
}

Json record(Json episode, int n_rows, std::vector<double> power) {
  return Json{{"episode", std::move(episode)}, {"n_rows", n_rows}, {"actions", {{"p", power}}}};
}

// The node's columns: the sim's slots "[0]"/"[1]" are the columns "t"/"h"; "x" is no sim sensor.
Json columns_answer() {
  return Json{{"episodes",
               Json::array({record(0, 3, {1.0, 2.0, 3.5}), record(4, 1, {7.0}), record(9, 2, {4.0, 0.25})})},
              {"raw_names", {{"x", "extra"}, {"h", "hum"}, {"t", "temp"}, {"p", "power"}}},
              {"sensor_variables", {"x", "h", "t"}},
              {"action_variables", {"p"}}};
}

// What the scripted sim predicts for one record, in the plan's column order.
Json expected_predictions(const Json& record) {
  Json t = Json::array({RESET_OBS[0]});
  Json h = Json::array({RESET_OBS[1]});
  const Json& power = record["actions"]["p"];
  for (int row = 1; row < record["n_rows"].get<int>(); ++row) {
    const Json obs = observation(power[row].get<double>(), row);
    t.push_back(obs[0]);
    h.push_back(obs[1]);
    if (obs[1].is_null()) break;
  }
  return Json{{"t", t}, {"h", h}};
}

Json analysis_answer() {
  return Json{{"warnings", {"few rows"}},
              {"simulator_validation", {{"evaluation", {{"score_percent", 87.5}}}}},
              {"dataset", {{"content_md5", "m5"}, {"content_sha256", "s256"}}},
              {"summary", {{"rows", 6}, {"lag", nullptr}}}};
}

struct Reply {
  int status;
  std::string body;
  std::string content_type = "application/json";
};

struct NodeCall {
  std::string body;
  Journal journal;  // the sim's calls made before the request arrived
};

// One endpoint of the fake node: answers `answer` unless a reply is scripted; may block until released.
struct Endpoint {
  Json answer;
  std::optional<Reply> reply;
  bool blocks = false;
  std::function<void()> on_request = [] {};
  std::vector<NodeCall> calls;
};

// One analysis: a scripted sim, a node serving both endpoints, and the dataset and claim of a publish.
struct Analysis {
  ScopedTiming timing_scope;
  FakeSimRuntime runtime;
  FakeSimClient& client = *runtime.client;
  FakeSimProcess& process = *runtime.process;
  Loop loop;
  CapturedLog log;
  CapturedConsole console;
  Endpoint columns{columns_answer()};
  Endpoint analysis{analysis_answer()};
  Json dataset = {{"id", "ds-7f3a"}, {"name", "plant-log"}, {"cycles", {{"count", 10}}}};
  Json claim = {{"jobId", "job-1"},
                {"simulatorId", "sim-42"},
                {"simulatorImplementationId", 17},
                {"validationRunId", "run-5"},
                {"maxLagSteps", 3}};
  std::int64_t max_episodes = 5;
  std::size_t jobs = 1;
  AnalysisHooks hooks;

  explicit Analysis(Timing timing = short_timing()) : timing_scope(timing) {
    runtime.port = PORT;
    // Brackets show which text reached the tail, and that it was the tail that was shown.
    runtime.tail = [](const std::string& text) { return text.empty() ? std::string() : "[" + text + "]"; };
    client.on_get_mappings = [] { return mappings(); };
    client.on_reset = [] { return Json::array({RESET_OBS, Json::object()}); };
    client.on_step = [](const Json& action, int row) {
      return Json::array({observation(action[0].get<double>(), row), 0.0, false, false, Json::object()});
    };
    node_.server.Post("/ml/analysis-actions",
                      [this](const httplib::Request& request, httplib::Response& response) {
                        serve(columns, request, response);
                      });
    node_.server.Post("/ml/sim-analyze-rollouts",
                      [this](const httplib::Request& request, httplib::Response& response) {
                        serve(analysis, request, response);
                      });
  }

  ~Analysis() {
    const std::lock_guard lock(mutex_);
    released_ = true;
    released_cv_.notify_all();
  }

  Json run(Json env_init = Json::object(), double call_timeout_s = 5) {
    if (!started_) node_.start();
    started_ = true;
    auto task =
        analyze(PATH, claim, dataset, SHA, max_episodes, std::move(env_init), call_timeout_s, hooks, jobs);
    return loop.run(std::move(task), std::chrono::seconds(8));
  }

  std::exception_ptr failure(double call_timeout_s = 5) {
    try {
      run(Json::object(), call_timeout_s);
    } catch (...) {
      return std::current_exception();
    }
    return nullptr;
  }

  std::vector<NodeCall> calls(const Endpoint& endpoint) {
    const std::lock_guard lock(mutex_);
    return endpoint.calls;
  }

  std::vector<std::string> statuses() const {
    std::vector<std::string> texts;
    for (const std::string& record : log.records()) {
      if (record.rfind("debug ", 0) == 0) texts.push_back(record.substr(6));
    }
    return texts;
  }

 private:
  void serve(Endpoint& endpoint, const httplib::Request& request, httplib::Response& response) {
    {
      const std::lock_guard lock(mutex_);
      // The loop is parked in the blocking request meanwhile, so the journal holds still.
      endpoint.calls.push_back({request.body, *runtime.journal});
    }
    endpoint.on_request();
    std::unique_lock lock(mutex_);
    if (endpoint.blocks) released_cv_.wait_for(lock, std::chrono::seconds(15), [this] { return released_; });
    const Reply reply = endpoint.reply.value_or(Reply{200, endpoint.answer.dump()});
    response.status = reply.status;
    response.set_content(reply.body, reply.content_type);
  }

  std::mutex mutex_;
  std::condition_variable released_cv_;
  bool released_ = false;
  bool started_ = false;
  // Last, so that its handlers are done before anything they use goes.
  FakeNode node_;
};

// The calls analyze makes itself; the rollout's own calls are checked apart.
std::vector<std::string> own_calls(const Journal& journal) {
  std::vector<std::string> own;
  for (const std::string& call : journal) {
    if (call != "client.action_space_info" && call != "client.reset" && call != "client.step")
      own.push_back(call);
  }
  return own;
}

std::string replay_failure(const std::string& type, const std::string& text) {
  return "The sim failed while replaying the dataset (" + type + ": " + text + REPLAY_HINT;
}

TEST(AnalyzeTest, TheHappyPathAsksTheNodeRunsTheSimAndReturnsTheAnalysisUnchanged) {
  Analysis a;
  const Json env_init = {{"seed", 3}, {"nested", {{"a", 1}}}};
  const Json env_before = env_init;

  const Json result = a.run(env_init);

  EXPECT_EQ(result, analysis_answer());
  EXPECT_EQ(result.dump(), analysis_answer().dump()) << "member order kept";
  EXPECT_EQ(env_init, env_before);

  const std::vector<NodeCall> columns_calls = a.calls(a.columns);
  ASSERT_EQ(columns_calls.size(), 1u);
  const Json columns_body = Json::parse(columns_calls[0].body);
  EXPECT_THAT(keys_of(columns_body), ElementsAre("dataset_uuid", "episodes"));
  EXPECT_EQ(columns_body["dataset_uuid"], "ds-7f3a");
  EXPECT_EQ(columns_body["episodes"], Json(pick_episodes(10, 5)));
  EXPECT_THAT(columns_calls[0].journal, IsEmpty()) << "nothing of the sim before the columns";

  ASSERT_EQ(a.runtime.starts.size(), 1u);
  EXPECT_EQ(a.runtime.starts[0].path, PATH);
  EXPECT_EQ(a.runtime.starts[0].host, "localhost");
  EXPECT_EQ(a.runtime.starts[0].port, PORT);
  EXPECT_EQ(a.runtime.starts[0].env, Json::object());
  ASSERT_EQ(a.runtime.serving_checks.size(), 1u);
  EXPECT_EQ(a.runtime.serving_checks[0].first, ADDRESS);
  EXPECT_EQ(a.runtime.serving_checks[0].second, timing().serving_s);

  ASSERT_EQ(a.runtime.client_options.size(), 1u);
  const outside::ClientOptions& options = a.runtime.client_options[0];
  EXPECT_EQ(options.run_id, "publish-report");
  EXPECT_EQ(options.sim_id, "publish-report");
  EXPECT_EQ(options.env_id, "publish-report");
  EXPECT_EQ(options.address, ADDRESS);
  EXPECT_EQ(options.protocol, "grpc");

  const Journal& journal = *a.runtime.journal;
  EXPECT_THAT(own_calls(journal),
              ElementsAre("runtime.get_free_port", "runtime.make_in_process", "runtime.check_serving",
                          "runtime.client_make", "client.init", "client.make", "client.get_mappings",
                          "client.close", "process.terminate", "process.wait"));
  const auto mapped = std::find(journal.begin(), journal.end(), "client.get_mappings");
  const auto closed = std::find(journal.begin(), journal.end(), "client.close");
  EXPECT_EQ(std::count(mapped, closed, "client.reset"), 3) << "every record replayed between plan and close";
  EXPECT_EQ(std::count(journal.begin(), journal.end(), "client.step"), 3);

  const std::vector<NodeCall> analysis_calls = a.calls(a.analysis);
  ASSERT_EQ(analysis_calls.size(), 1u);
  EXPECT_EQ(analysis_calls[0].journal, journal) << "the sim had stopped before the analysis request";
  EXPECT_EQ(a.runtime.clients_alive(), 0);
  EXPECT_EQ(a.runtime.processes_alive(), 0);

  const Json body = Json::parse(analysis_calls[0].body);
  EXPECT_THAT(keys_of(body),
              ElementsAre("dataset_uuid", "simulator_id", "simulator_implementation_id", "validation_run_id",
                          "bundle_content_hash", "core_sensor_variables", "sensor_variables",
                          "action_variables", "max_lag_steps", "episodes"));
  EXPECT_EQ(body["dataset_uuid"], "ds-7f3a");
  EXPECT_EQ(body["simulator_id"], "sim-42");
  EXPECT_TRUE(body["simulator_implementation_id"].is_number_integer());
  EXPECT_EQ(body["simulator_implementation_id"], 17);
  EXPECT_EQ(body["validation_run_id"], "run-5");
  EXPECT_EQ(body["bundle_content_hash"], SHA);
  EXPECT_EQ(body["core_sensor_variables"], Json::array({"temp", "hum"}));
  EXPECT_EQ(body["sensor_variables"], Json::array({"t", "h"})) << "node keys in plan order, not slot names";
  EXPECT_EQ(body["action_variables"], Json::array({"p"}));
  EXPECT_EQ(body["max_lag_steps"], 3);

  const Json records = columns_answer()["episodes"];
  ASSERT_EQ(body["episodes"].size(), records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    const Json& entry = body["episodes"][i];
    EXPECT_THAT(keys_of(entry), ElementsAre("episode", "predictions")) << i;
    EXPECT_EQ(entry["episode"], records[i]["episode"]) << i;
    EXPECT_EQ(entry["predictions"], expected_predictions(records[i])) << i;
    EXPECT_THAT(keys_of(entry["predictions"]), ElementsAre("t", "h")) << i;
    EXPECT_TRUE(numbers_are_floats(entry["predictions"])) << entry["predictions"].dump();
  }
  EXPECT_TRUE(body["episodes"][0]["predictions"]["h"].back().is_null()) << "an unreadable value is null";
}

TEST(AnalyzeTest, TheClientGetsACopyOfEnvInitWithTheSimAddress) {
  struct Case {
    std::string what;
    Json given;
    Json expected;
  };
  const std::vector<Case> cases = {
      {"empty", Json::object(), {{"sim_address", ADDRESS}}},
      {"added last",
       {{"seed", 3}, {"nested", {{"a", 1}}}},
       {{"seed", 3}, {"nested", {{"a", 1}}}, {"sim_address", ADDRESS}}},
      {"replaced in place",
       {{"sim_address", "elsewhere:1"}, {"seed", 3}},
       {{"sim_address", ADDRESS}, {"seed", 3}}},
  };
  for (const Case& c : cases) {
    Analysis a;
    const Json given = c.given;
    a.run(given);
    ASSERT_EQ(a.runtime.client_options.size(), 1u) << c.what;
    EXPECT_EQ(a.runtime.client_options[0].env_init.dump(), c.expected.dump()) << c.what;
    EXPECT_EQ(given, c.given) << c.what;
  }
}

TEST(AnalyzeTest, StatusTextsCountTheRecordsTheNodeReturned) {
  Analysis a;
  a.run();

  std::vector<std::string> expected = {"Starting the sim...", "Replaying the dataset through the sim..."};
  const Json records = columns_answer()["episodes"];
  ASSERT_NE(records.size(), pick_episodes(10, 5).size()) << "the total must be told apart from the request";
  for (std::size_t k = 1; k <= records.size(); ++k) {
    const Json& r = records[k - 1];
    expected.push_back("Replaying episode " + std::to_string(r["episode"].get<int>()) + " (" +
                       std::to_string(k) + " of " + std::to_string(records.size()) + ", " +
                       std::to_string(r["n_rows"].get<int>()) + " rows) through the sim...");
  }
  expected.push_back("Analyzing the sim against the dataset on the compute node...");
  EXPECT_EQ(a.statuses(), expected);
  EXPECT_EQ(a.statuses()[3], "Replaying episode 4 (2 of 3, 1 rows) through the sim...");
}

TEST(AnalyzeTest, NoRecordsStillStartsClosesAndStopsTheSimAndSendsNoEpisodes) {
  Analysis a;
  a.columns.answer["episodes"] = Json::array();

  EXPECT_EQ(a.run(), analysis_answer());

  EXPECT_EQ(a.statuses(),
            (std::vector<std::string>{"Starting the sim...", "Replaying the dataset through the sim...",
                                      "Analyzing the sim against the dataset on the compute node..."}));
  EXPECT_THAT(*a.runtime.journal,
              ElementsAre("runtime.get_free_port", "runtime.make_in_process", "runtime.check_serving",
                          "runtime.client_make", "client.init", "client.make", "client.get_mappings",
                          "client.close", "process.terminate", "process.wait"));
  const std::vector<NodeCall> calls = a.calls(a.analysis);
  ASSERT_EQ(calls.size(), 1u);
  const Json body = Json::parse(calls[0].body);
  EXPECT_TRUE(body["episodes"].is_array());
  EXPECT_THAT(body["episodes"], IsEmpty());
}

TEST(AnalyzeTest, AnUnknownEpisodeCountIsRefusedBeforeAnythingHappens) {
  struct Case {
    std::string what;
    std::function<void(Json&)> change;
  };
  const std::vector<Case> cases = {
      {"no cycles", [](Json& d) { d.erase("cycles"); }},
      {"cycles null", [](Json& d) { d["cycles"] = nullptr; }},
      {"count null", [](Json& d) { d["cycles"]["count"] = nullptr; }},
      {"count 0", [](Json& d) { d["cycles"]["count"] = 0; }},
  };
  for (const Case& c : cases) {
    Analysis a;
    a.dataset["name"] = "plant-log 2";
    c.change(a.dataset);
    const std::exception_ptr e = a.failure();
    EXPECT_EQ(type_of(e), "PublishReportError") << c.what;
    EXPECT_EQ(text_of(e),
              "The episode count of 'plant-log 2' is unknown; run `nalto data stats plant-log 2` first")
        << c.what;
    EXPECT_THAT(a.calls(a.columns), IsEmpty()) << c.what;
    EXPECT_THAT(*a.runtime.journal, IsEmpty()) << c.what;
  }
}

// The node's failures are the same for both requests; only what has happened differs.
TEST(AnalyzeTest, NodeFailuresReachTheCallerUnchanged) {
  struct Case {
    std::string what;
    Reply reply;
    bool blocks;
    std::string type;
    std::string text;  // empty: not compared
    int status;        // for HTTPStatusError
  };
  const std::vector<Case> cases = {
      {"refused with detail",
       {409, R"({"detail": "validation run closed"})"},
       false,
       "PublishReportError",
       "The compute node refused the analysis: validation run closed",
       0},
      {"refused as text",
       {404, "no such dataset", "text/plain"},
       false,
       "PublishReportError",
       "The compute node refused the analysis: no such dataset",
       0},
      {"server error", {500, R"({"detail": "boom"})"}, false, "HTTPStatusError", "", 500},
      {"not JSON", {200, "<html>ok</html>", "text/html"}, false, "JSONDecodeError", "", 0},
      {"time-out", {200, "{}"}, true, "ReadTimeout", "", 0},
  };
  Timing quick = short_timing();
  quick.columns_request_s = 0.2;
  quick.analysis_request_s = 0.2;
  for (const bool at_columns : {true, false}) {
    for (const Case& c : cases) {
      const std::string what = (at_columns ? "columns: " : "analysis: ") + c.what;
      Analysis a(quick);
      Endpoint& failing = at_columns ? a.columns : a.analysis;
      failing.reply = c.reply;
      failing.blocks = c.blocks;

      const std::exception_ptr e = a.failure();

      EXPECT_EQ(type_of(e), c.type) << what;
      if (!c.text.empty()) {
        EXPECT_EQ(text_of(e), c.text) << what;
      }
      if (c.type == "PublishReportError") {
        EXPECT_EQ(cause_of(e), nullptr) << what;
      }
      if (c.status) {
        try {
          std::rethrow_exception(e);
        } catch (const HTTPStatusError& s) {
          EXPECT_EQ(s.status(), c.status) << what;
        } catch (...) {
        }
      }
      if (at_columns) {
        EXPECT_THAT(*a.runtime.journal, IsEmpty()) << what << ": no sim";
        EXPECT_THAT(a.calls(a.analysis), IsEmpty()) << what;
      } else {
        ASSERT_EQ(a.calls(a.analysis).size(), 1u) << what;
        EXPECT_EQ(a.calls(a.analysis)[0].journal.back(), "process.wait") << what << ": the sim had stopped";
        EXPECT_THAT(a.process.events, ElementsAre("terminate", "wait")) << what;
      }
    }
  }
}

TEST(AnalyzeTest, ASimThatDoesNotStartShowsTheTailOrTheErrorWithTheErrorAsCause) {
  struct Case {
    std::string what;
    std::vector<std::string> output;
    bool at_creation;  // else at the serving check
    std::function<void()> raise;
    bool empty_tail;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {"cannot be created, silent",
       {},
       true,
       [] { throw SimCallError("cannot exec ./sims/boiler"); },
       false,
       "cannot exec ./sims/boiler"},
      {"cannot be created after printing",
       {"loading", "no python3"},
       true,
       [] { throw SimCallError("exited with 127"); },
       false,
       "[loading\nno python3]"},
      {"serving check fails, silent",
       {},
       false,
       [] { throw SimCallError("UNAVAILABLE: refused"); },
       false,
       "UNAVAILABLE: refused"},
      {"serving check fails after printing",
       {"booting", "bind: address in use"},
       false,
       [] { throw SimCallError("UNAVAILABLE: refused"); },
       false,
       "[booting\nbind: address in use]"},
      {"serving check times out", {}, false, [] { throw TimeoutError(""); }, false, ""},
      {"the tail keeps nothing",
       {"noise"},
       false,
       [] { throw std::runtime_error("exited with 1"); },
       true,
       "exited with 1"},
  };
  for (const Case& c : cases) {
    Analysis a;
    if (c.empty_tail) a.runtime.tail = [](const std::string&) { return std::string(); };
    if (c.at_creation) {
      a.runtime.on_make_in_process = [&a, &c] {
        for (const std::string& line : c.output) a.runtime.emit(line);
        c.raise();
      };
    } else {
      a.runtime.output = c.output;
      a.runtime.on_check_serving = c.raise;
    }

    const std::exception_ptr e = a.failure();

    EXPECT_EQ(type_of(e), "PublishReportError") << c.what;
    EXPECT_EQ(text_of(e), "The sim did not start:\n\n" + c.shown) << c.what;
    const std::exception_ptr cause = cause_of(e);
    try {
      c.raise();
    } catch (const std::exception& original) {
      EXPECT_EQ(type_of(cause), type_name_of(original)) << c.what;
      EXPECT_EQ(text_of(cause), original.what()) << c.what;
    }
    std::string joined;
    for (const std::string& line : c.output) joined += (joined.empty() ? "" : "\n") + line;
    EXPECT_THAT(a.runtime.tails, ElementsAre(joined)) << c.what;
    EXPECT_THAT(a.runtime.client_options, IsEmpty()) << c.what;
    EXPECT_THAT(a.calls(a.analysis), IsEmpty()) << c.what;
    if (c.at_creation) {
      EXPECT_THAT(a.process.events, IsEmpty()) << c.what << ": no process to stop";
    } else {
      EXPECT_THAT(a.process.events, ElementsAre("terminate", "wait")) << c.what;
    }
    EXPECT_EQ(a.runtime.processes_alive(), 0) << c.what;
  }
}

TEST(AnalyzeTest, APlanRefusalReachesTheCallerUnwrappedAfterTheSimStopped) {
  struct Case {
    std::string what;
    std::function<void(Json&)> change;
  };
  const std::vector<Case> cases = {
      {"no column for the sim's action",
       [](Json& c) {
         c["raw_names"]["q"] = "pressure";
         c["action_variables"] = {"q"};
       }},
      {"no column for any sim sensor", [](Json& c) { c["sensor_variables"] = {"x"}; }},
  };
  for (const Case& c : cases) {
    Analysis a;
    c.change(a.columns.answer);
    std::string refusal;
    try {
      plan_analysis(Json{{"sensors", mappings()["sensor_space"]["mappings"]},
                         {"actions", mappings()["action_space"]["mappings"]}},
                    a.columns.answer);
    } catch (const PublishReportError& p) {
      refusal = p.what();
    }
    ASSERT_FALSE(refusal.empty()) << c.what << ": the plan must refuse these columns";

    const std::exception_ptr e = a.failure();

    EXPECT_EQ(type_of(e), "PublishReportError") << c.what;
    EXPECT_EQ(text_of(e), refusal) << c.what;
    EXPECT_EQ(a.client.count("close"), 0u) << c.what;
    EXPECT_EQ(a.client.count("reset"), 0u) << c.what;
    EXPECT_THAT(a.process.events, ElementsAre("terminate", "wait")) << c.what;
    EXPECT_THAT(a.calls(a.analysis), IsEmpty()) << c.what;
  }
}

TEST(AnalyzeTest, OtherSimRunErrorsBecomeTheReplayFailureWithTheirCause) {
  struct Case {
    std::string what;
    std::function<void(Analysis&)> arrange;
    std::string type;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"client init fails",
       [](Analysis& a) { a.client.on_init = [] { throw SimCallError("UNAVAILABLE: gone"); }; },
       "SimCallError", "UNAVAILABLE: gone"},
      {"a foreign failure in make",
       [](Analysis& a) { a.client.on_make = [] { throw std::out_of_range("bad make"); }; }, "out_of_range",
       "bad make"},
      {"the mapping read fails",
       [](Analysis& a) {
         a.client.on_get_mappings = []() -> Json { throw SimCallError("UNIMPLEMENTED: none"); };
         a.client.on_sensor_space_info = []() -> Json { throw SimCallError("INTERNAL: no space"); };
       },
       "SimCallError", "INTERNAL: no space"},
      {"a record without n_rows", [](Analysis& a) { a.columns.answer["episodes"][1].erase("n_rows"); },
       "KeyError", "'n_rows'"},
      {"no episodes member", [](Analysis& a) { a.columns.answer.erase("episodes"); }, "KeyError",
       "'episodes'"},
      {"a step fails",
       [](Analysis& a) {
         a.client.on_step = [](const Json&, int) -> Json { throw SimCallError("INTERNAL: diverged"); };
       },
       "SimCallError", "INTERNAL: diverged"},
      {"a step exceeds the call time-out", [](Analysis& a) { a.client.hang_on = "step"; }, "TimeoutError",
       ""},
      {"init exceeds the call time-out", [](Analysis& a) { a.client.hang_on = "init"; }, "TimeoutError", ""},
      {"make exceeds the call time-out", [](Analysis& a) { a.client.hang_on = "make"; }, "TimeoutError", ""},
      {"the spaces' read exceeds the call time-out",
       [](Analysis& a) {
         a.client.on_get_mappings = []() -> Json { throw SimCallError("UNIMPLEMENTED: none"); };
         a.client.hang_on = "action_space_info";
       },
       "TimeoutError", ""},
  };
  for (const Case& c : cases) {
    Analysis a;
    c.arrange(a);

    const std::exception_ptr e = a.failure(0.05);

    EXPECT_EQ(type_of(e), "PublishReportError") << c.what;
    EXPECT_EQ(text_of(e), replay_failure(c.type, c.text)) << c.what;
    EXPECT_EQ(type_of(cause_of(e)), c.type) << c.what;
    EXPECT_EQ(text_of(cause_of(e)), c.text) << c.what;
    EXPECT_EQ(a.client.count("close"), 0u) << c.what << ": the client is dropped, not closed";
    EXPECT_THAT(a.process.events, ElementsAre("terminate", "wait")) << c.what;
    EXPECT_THAT(a.calls(a.analysis), IsEmpty()) << c.what;
    EXPECT_EQ(a.runtime.clients_alive(), 0) << c.what;
    EXPECT_EQ(a.runtime.processes_alive(), 0) << c.what;
  }
  EXPECT_EQ(
      replay_failure("KeyError", "'n_rows'"),
      "The sim failed while replaying the dataset (KeyError: 'n_rows'); validate it with `nalto sim validate "
      "--steps 100`");
}

TEST(AnalyzeTest, AFailingCloseIsIgnored) {
  Analysis a;
  a.client.on_close = [] { throw SimCallError("UNAVAILABLE: already gone"); };

  EXPECT_EQ(a.run(), analysis_answer());

  EXPECT_EQ(a.client.count("close"), 1u);
  EXPECT_THAT(a.process.events, ElementsAre("terminate", "wait"));
  EXPECT_EQ(a.calls(a.analysis).size(), 1u);
}

TEST(AnalyzeTest, ALateGetMappingsFallsBackToTheSpacesAndALateCloseIsIgnored) {
  Analysis a;
  a.client.hang_on = "get_mappings";
  a.client.on_close = [&a] { a.client.hang_on = "close"; };
  a.client.on_sensor_space_info = [] { return testing::box_space({"temp", "hum"}); };

  EXPECT_EQ(a.run(Json::object(), 0.05), analysis_answer());

  EXPECT_THAT(a.client.cancelled, ElementsAre("get_mappings"));
  EXPECT_THAT(a.statuses(), Contains("get_mappings() failed (no answer within --call-timeout 0.05 s); "
                                     "reading the spaces"));
  EXPECT_EQ(a.client.count("close"), 1u);
  EXPECT_EQ(a.calls(a.analysis).size(), 1u) << "a Close that never answers holds nothing up";
}

TEST(AnalyzeTest, TheEvidenceNamesTheCallThatFailedAndTheLimitALateOnePassed) {
  struct Case {
    std::string what;
    std::function<void(Analysis&)> arrange;
    std::string call;
    std::optional<double> limit;
  };
  const std::vector<Case> cases = {
      {"make refused",
       [](Analysis& a) { a.client.on_make = [] { throw SimCallError("INVALID_ARGUMENT: no"); }; }, "Make",
       std::nullopt},
      {"init refused", [](Analysis& a) { a.client.on_init = [] { throw SimCallError("INTERNAL: no"); }; },
       "Init", std::nullopt},
      {"make late", [](Analysis& a) { a.client.hang_on = "make"; }, "Make", 0.05},
      {"a step late", [](Analysis& a) { a.client.hang_on = "step"; }, "Step", 0.05},
  };
  for (const Case& c : cases) {
    Analysis a;
    c.arrange(a);
    std::optional<ReplayEvidence> evidence;
    a.hooks.replay_failed = [&evidence](const ReplayEvidence& e) { evidence = e; };

    a.failure(0.05);

    ASSERT_TRUE(evidence) << c.what;
    EXPECT_EQ(evidence->call, c.call) << c.what;
    EXPECT_EQ(evidence->call_timeout_s, c.limit) << c.what;
  }
}

TEST(AnalyzeTest, TheFirstInterruptionGivesTheSimItsGraceToExit) {
  for (const std::size_t jobs : {1, 3}) {
    Analysis a;
    a.jobs = jobs;
    a.runtime.add_sims(jobs);
    for (const auto& client : a.runtime.clients) {
      client->hang_on = "step";
      client->on_hang = [&a] { a.loop.cancel_soon(); };
    }
    // Each sim takes a moment to end after SIGTERM, well within the exit wait.
    for (const auto& process : a.runtime.processes) process->exits_after_s = 0.05;

    const std::exception_ptr e = a.failure();

    EXPECT_TRUE(is_cancellation(e)) << type_of(e) << ": " << text_of(e);
    for (const auto& process : a.runtime.processes) {
      EXPECT_THAT(process->events, ElementsAre("terminate", "wait")) << jobs << ": not killed";
      EXPECT_EQ(process->waits_cancelled, 0) << jobs;
      EXPECT_EQ(process->exit_code, process->terminated_code) << jobs;
    }
  }
}

TEST(AnalyzeTest, ASimThatExitedOnItsOwnIsAwaitedButNotTerminated) {
  struct Case {
    std::string what;
    bool fails;
  };
  for (const Case& c : {Case{"the run succeeds", false}, Case{"the run fails", true}}) {
    Analysis a;
    if (c.fails) {
      a.client.on_make = [&a] {
        a.process.exit_code = 1;
        throw SimCallError("UNAVAILABLE: sim exited");
      };
    } else {
      a.client.on_close = [&a] { a.process.exit_code = 0; };
    }

    const std::exception_ptr e = a.failure();

    if (c.fails) {
      EXPECT_EQ(text_of(e), replay_failure("SimCallError", "UNAVAILABLE: sim exited")) << c.what;
    } else {
      EXPECT_EQ(e, nullptr) << c.what << ": " << text_of(e);
    }
    EXPECT_THAT(a.process.events, ElementsAre("wait")) << c.what;
    EXPECT_EQ(a.calls(a.analysis).size(), c.fails ? 0u : 1u) << c.what;
  }
}

TEST(AnalyzeTest, ASimIgnoringTerminateIsKilledAfterTheExitWaitAndNotAwaitedAgain) {
  struct Case {
    std::string what;
    bool fails;
  };
  Timing quick = short_timing();
  quick.exit_wait_s = 0.02;
  for (const Case& c : {Case{"the run succeeds", false}, Case{"the run fails", true}}) {
    Analysis a(quick);
    a.process.exits_on_terminate = false;
    if (c.fails) a.client.on_init = [] { throw SimCallError("UNAVAILABLE: hung"); };

    const auto begun = std::chrono::steady_clock::now();
    const std::exception_ptr e = a.failure();
    const auto took = std::chrono::steady_clock::now() - begun;

    if (c.fails) {
      EXPECT_EQ(text_of(e), replay_failure("SimCallError", "UNAVAILABLE: hung")) << c.what;
      EXPECT_THAT(a.calls(a.analysis), IsEmpty()) << c.what;
    } else {
      EXPECT_EQ(e, nullptr) << c.what << ": " << text_of(e);
      ASSERT_EQ(a.calls(a.analysis).size(), 1u) << c.what;
      EXPECT_EQ(a.calls(a.analysis)[0].journal.back(), "process.kill") << c.what;
    }
    EXPECT_THAT(a.process.events, ElementsAre("terminate", "wait", "kill")) << c.what;
    EXPECT_EQ(a.process.waits_cancelled, 1) << c.what;
    EXPECT_LT(took, std::chrono::seconds(2)) << c.what << ": the exit wait is bounded by timing()";
  }
}

TEST(AnalyzeTest, AClaimWithoutAMemberFailsWithTheLookupErrorAfterTheSimStopped) {
  for (const std::string key :
       {"simulatorId", "simulatorImplementationId", "validationRunId", "maxLagSteps"}) {
    Analysis a;
    a.claim.erase(key);

    const std::exception_ptr e = a.failure();

    EXPECT_EQ(type_of(e), "KeyError") << key;
    EXPECT_EQ(text_of(e), "'" + key + "'") << key;
    EXPECT_THAT(a.process.events, ElementsAre("terminate", "wait")) << key;
    EXPECT_EQ(a.client.count("close"), 1u) << key;
    EXPECT_THAT(a.calls(a.analysis), IsEmpty()) << key;
  }
}

TEST(AnalyzeTest, CancellingMidEpisodeStopsTheSimAndSendsNothing) {
  Analysis a;
  a.client.hang_on = "step";
  a.client.hang_skip = 1;
  a.client.on_hang = [&a] { a.loop.cancel_soon(); };

  const std::exception_ptr e = a.failure();

  EXPECT_TRUE(is_cancellation(e)) << type_of(e) << ": " << text_of(e);
  EXPECT_THAT(a.client.cancelled, ElementsAre("step"));
  EXPECT_EQ(a.client.count("step"), 2u);
  EXPECT_EQ(a.client.count("close"), 0u);
  const Journal& journal = *a.runtime.journal;
  ASSERT_GE(journal.size(), 2u);
  EXPECT_EQ(journal[journal.size() - 2], "process.terminate");
  EXPECT_EQ(journal.back(), "process.wait");
  EXPECT_EQ(a.process.waits_cancelled, 0) << "the wait itself is not cancelled";
  EXPECT_THAT(a.calls(a.analysis), IsEmpty());
  EXPECT_EQ(a.runtime.processes_alive(), 0);
}

TEST(AnalyzeTest, CancellingTheServingCheckStopsTheSim) {
  Analysis a;
  a.runtime.serving_hangs = true;
  a.runtime.on_check_serving = [&a] { a.loop.cancel_soon(); };

  const std::exception_ptr e = a.failure();

  EXPECT_TRUE(is_cancellation(e)) << type_of(e) << ": " << text_of(e);
  EXPECT_TRUE(a.runtime.serving_cancelled);
  EXPECT_THAT(a.runtime.tails, IsEmpty()) << "a cancellation is no start failure";
  EXPECT_THAT(a.runtime.client_options, IsEmpty());
  EXPECT_THAT(a.process.events, ElementsAre("terminate", "wait"));
  EXPECT_THAT(a.calls(a.analysis), IsEmpty());
}

TEST(AnalyzeTest, CancellingANodeRequestReachesTheCallerPromptly) {
  for (const bool at_columns : {true, false}) {
    const std::string what = at_columns ? "columns" : "analysis";
    Analysis a;
    Endpoint& pending = at_columns ? a.columns : a.analysis;
    pending.blocks = true;
    pending.on_request = [&a] { a.loop.cancel_soon(); };

    const auto begun = std::chrono::steady_clock::now();
    const std::exception_ptr e = a.failure();
    const auto took = std::chrono::steady_clock::now() - begun;

    EXPECT_TRUE(is_cancellation(e)) << what << ": " << type_of(e) << ": " << text_of(e);
    EXPECT_LT(took, std::chrono::seconds(3)) << what << ": the node still holds the request";
    EXPECT_EQ(a.calls(pending).size(), 1u) << what;
    if (at_columns) {
      EXPECT_THAT(*a.runtime.journal, IsEmpty()) << what;
    } else {
      EXPECT_THAT(a.process.events, ElementsAre("terminate", "wait")) << what;
    }
  }
}

// Several sims: each its own start and client; the episodes are dealt to whichever is free.

Json six_records() {
  Json records = Json::array();
  for (int k = 0; k < 6; ++k) records.push_back(record(k, 3, {1.0 + k, 2.0 + k, 3.0 + k}));
  return records;
}

// The episodes each sim replayed, in its order: the first power of each episode tells it.
std::vector<std::vector<int>> dealt(const FakeSimRuntime& runtime) {
  std::vector<std::vector<int>> episodes;
  for (const auto& client : runtime.clients) {
    episodes.emplace_back();
    for (std::size_t i = 0; i < client->steps.size(); i += 2)
      episodes.back().push_back(static_cast<int>(client->steps[i][0].get<double>()) - 2);
  }
  return episodes;
}

TEST(ParallelReplayTest, TheBodyIsTheOneOfOneSimAndEachEpisodeGoesToTheNextFreeSim) {
  Analysis one;
  one.columns.answer["episodes"] = six_records();
  one.run();

  Analysis two;
  two.columns.answer["episodes"] = six_records();
  two.jobs = 2;
  two.runtime.add_sims(2);
  two.runtime.clients[0]->delay_s["step"] = 0.05;
  two.run();

  ASSERT_EQ(two.calls(two.analysis).size(), 1u);
  EXPECT_EQ(two.calls(two.analysis)[0].body, one.calls(one.analysis)[0].body);
  EXPECT_EQ(dealt(two.runtime), (std::vector<std::vector<int>>{{0}, {1, 2, 3, 4, 5}}));
  EXPECT_EQ(two.runtime.starts.size(), 2u);
  EXPECT_NE(two.runtime.starts[0].port, two.runtime.starts[1].port);
  for (const auto& process : two.runtime.processes)
    EXPECT_THAT(process->events, ElementsAre("terminate", "wait"));
  for (const auto& client : two.runtime.clients) EXPECT_EQ(client->count("close"), 1u);
}

TEST(ParallelReplayTest, NoMoreSimsStartThanThereAreEpisodes) {
  Analysis a;
  a.jobs = 8;
  a.runtime.add_sims(8);
  a.run();

  EXPECT_EQ(a.runtime.starts.size(), columns_answer()["episodes"].size());
  EXPECT_EQ(a.runtime.client_options.size(), a.runtime.starts.size());
  EXPECT_EQ(a.runtime.processes_alive(), 0);
}

TEST(ParallelReplayTest, AFailureInOneSimStopsAllAndIsTheReplaysFailure) {
  Analysis a;
  a.columns.answer["episodes"] = six_records();
  a.jobs = 4;
  a.runtime.add_sims(4);
  std::optional<ReplayEvidence> evidence;
  a.hooks.replay_failed = [&evidence](const ReplayEvidence& e) { evidence = e; };
  for (std::size_t k = 0; k < 4; ++k) {
    if (k == 2) continue;
    a.runtime.clients[k]->hang_on = "step";
  }
  // Fails once every other sim waits in a call that must be cancelled.
  a.runtime.clients[2]->delay_s["step"] = 0.02;
  a.runtime.clients[2]->on_step = [](const Json&, int) -> Json { throw SimCallError("UNAVAILABLE: boom"); };

  const std::exception_ptr e = a.failure();

  EXPECT_EQ(text_of(e),
            "The sim failed while replaying the dataset (SimCallError: UNAVAILABLE: boom" + REPLAY_HINT);
  for (std::size_t k = 0; k < 4; ++k) {
    if (k != 2) {
      EXPECT_THAT(a.runtime.clients[k]->cancelled, ElementsAre("step")) << k;
    }
    EXPECT_THAT(a.runtime.processes[k]->events, ElementsAre("terminate", "wait")) << k;
    EXPECT_EQ(a.runtime.clients[k]->count("close"), 0u) << k;
  }
  EXPECT_EQ(a.runtime.processes_alive(), 0);
  ASSERT_TRUE(evidence);
  EXPECT_EQ(evidence->call, "Step");
  EXPECT_EQ(evidence->episode, 2) << "the third sim's first episode";
  EXPECT_THAT(a.calls(a.analysis), IsEmpty());
}

TEST(ParallelReplayTest, CancellingStopsEverySim) {
  Analysis a;
  a.columns.answer["episodes"] = six_records();
  a.jobs = 4;
  a.runtime.add_sims(4);
  int hanging = 0;
  for (const auto& client : a.runtime.clients) {
    client->hang_on = "step";
    client->on_hang = [&a, &hanging] {
      if (++hanging == 4) a.loop.cancel_soon();
    };
  }

  const std::exception_ptr e = a.failure();

  EXPECT_TRUE(is_cancellation(e)) << type_of(e) << ": " << text_of(e);
  for (std::size_t k = 0; k < 4; ++k) {
    EXPECT_THAT(a.runtime.clients[k]->cancelled, ElementsAre("step")) << k;
    EXPECT_THAT(a.runtime.processes[k]->events, ElementsAre("terminate", "wait")) << k;
  }
  EXPECT_EQ(a.runtime.processes_alive(), 0);
  EXPECT_THAT(a.calls(a.analysis), IsEmpty());
}

TEST(ParallelReplayTest, SimsReportingOtherMappingsFailBeforeAnyEpisodeNamingBoth) {
  Analysis a;
  a.jobs = 3;
  a.runtime.add_sims(3);
  a.runtime.clients[2]->on_get_mappings = [] {
    Json other = mappings();
    other["action_space"]["mappings"][0]["name_mapped"] = "heat";
    return other;
  };

  const std::string text = text_of(a.failure());

  EXPECT_THAT(text,
              ::testing::StartsWith("The sim failed while replaying the dataset (ValueError: sims 1 and 3 "
                                    "of 3 report different mappings: "));
  EXPECT_THAT(text, ::testing::HasSubstr("power"));
  EXPECT_THAT(text, ::testing::HasSubstr("heat"));
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_EQ(a.runtime.clients[k]->count("reset"), 0u) << k;
    EXPECT_THAT(a.runtime.processes[k]->events, ElementsAre("terminate", "wait")) << k;
  }
}

TEST(ParallelReplayTest, ASimThatDoesNotStartIsToldAtOnceAndTheOthersAreStopped) {
  Analysis a;
  a.jobs = 3;
  a.runtime.add_sims(3);
  int checks = 0;
  a.runtime.on_check_serving = [&checks] {
    if (++checks == 2) throw SimCallError("the sim exited with code 3 before it served");
  };

  const std::string text = text_of(a.failure());

  EXPECT_EQ(text, "The sim did not start:\n\nthe sim exited with code 3 before it served");
  EXPECT_THAT(a.runtime.client_options, IsEmpty());
  for (std::size_t k = 0; k < 3; ++k)
    EXPECT_THAT(a.runtime.processes[k]->events, ElementsAre("terminate", "wait")) << k;
}

}  // namespace
}  // namespace nalto
