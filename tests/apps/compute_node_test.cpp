#include "compute_node.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <sstream>

#include "nalto/main/sim_publish_report.hpp"
#include "nalto/mapping/plan.hpp"
#include "nalto/node/node_post.hpp"
#include "nalto/support/hex.hpp"
#include "nalto/support/http.hpp"
#include "node/node_app_fixture.hpp"
#include "support/fixtures.hpp"

namespace nalto {
namespace {

namespace fs = std::filesystem;
using node_app::Catalog;
using node_app::DatasetError;
using node_app::Scale;
using node_app::SensorFit;
using node_app::SeriesPair;
using testing::fresh_dir;
using ::testing::HasSubstr;
using testing::make_folder;
using testing::NodeAnswer;
using ::testing::Not;
using testing::RunningNode;

constexpr const char* ID = "6f1c2a9e-0d4b-4c1e-9a57-3b8e2f10c0de";
constexpr const char* NAME = "plant/line 2";
const std::string DESCRIPTION =
    std::string(R"({"id": ")") + ID + R"(", "name": ")" + NAME + R"(", "columns": [
  {"key": "a", "raw_name": "Temp A", "role": "sensor"}, {"key": "b", "raw_name": "Level B", "role": "sensor"},
  {"key": "u", "raw_name": "Power", "role": "action"}]})";

// Truth of 'a' ends in .125 and no other number here does, so an answer that holds ".125" leaks it.
double truth_a(int episode, int row) {
  return 1000.125 + (episode + 1) * row;
}
constexpr int ROWS[] = {10, 6};

std::string rows_csv() {
  std::string text = "episode,row,a,b,u\n";
  for (int e = 0; e < 2; ++e) {
    for (int i = 0; i < ROWS[e]; ++i) {
      const std::string power = e == 0 && i == 3 ? "" : plain_text(e == 0 ? 0.5 * i : 1.0);
      text += std::to_string(e) + "," + std::to_string(i) + "," + plain_text(truth_a(e, i)) + ",5," + power +
              "\n";
    }
  }
  return text;
}

// The sim's predictions: 'a' trails the truth by two rows, 'b' is 0.5 above its constant 5.
Json rollout(int episode) {
  Json a = Json::array(), b = Json::array();
  for (int i = 0; i < ROWS[episode]; ++i) {
    a.push_back(truth_a(episode, std::max(0, i - 2)));
    b.push_back(5.5);
  }
  return Json{{"episode", episode}, {"predictions", {{"a", a}, {"b", b}}}};
}

Json rollouts_body(const std::string& run, const std::string& bundle = "h1") {
  return Json{{"dataset_uuid", ID},
              {"simulator_id", "sim-1"},
              {"simulator_implementation_id", 17},
              {"validation_run_id", run},
              {"bundle_content_hash", bundle},
              {"core_sensor_variables", {"Temp A", "Level B"}},
              {"sensor_variables", {"a", "b"}},
              {"action_variables", Json::array({"u"})},
              {"max_lag_steps", 3},
              {"episodes", {rollout(0), rollout(1)}}};
}

class ComputeNodeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new fs::path(fresh_dir());
    make_folder(*root_ / "plant", DESCRIPTION, rows_csv());
  }
  static void TearDownTestSuite() {
    fs::remove_all(*root_);
    delete root_;
  }

  static fs::path* root_;
  RunningNode node{*root_};
};
fs::path* ComputeNodeTest::root_ = nullptr;

TEST_F(ComputeNodeTest, AnswersRecordsAndActionsButNeverTheTruth) {
  const NodeAnswer by_name = node.request("GET", "/ml/datasets/" + percent_encode(NAME));
  ASSERT_EQ(by_name.status, 200) << by_name.body;
  EXPECT_EQ(Json::parse(by_name.body)["cycles"]["count"], 2);
  EXPECT_EQ(node.request("GET", "/ml/datasets/6F1C2A9E-0D4B-4C1E-9A57-3B8E2F10C0DE").body, by_name.body);

  const NodeAnswer actions =
      node.post("/ml/analysis-actions", {{"dataset_uuid", ID}, {"episodes", {1, 0, 1}}});
  ASSERT_EQ(actions.status, 200) << actions.body;
  const Json columns = actions.json();
  EXPECT_EQ(columns["episodes"].size(), 2u);
  EXPECT_EQ(columns["episodes"][0],
            Json::parse(R"({"episode":1,"n_rows":6,"actions":{"u":[1.0,1.0,1.0,1.0,1.0,1.0]}})"));
  EXPECT_EQ(columns["episodes"][1]["actions"]["u"][3], nullptr);
  EXPECT_EQ(columns["episodes"][1]["actions"]["u"][4], 2.0);
  EXPECT_EQ(columns["raw_names"], Json::parse(R"({"a":"Temp A","b":"Level B","u":"Power"})"));
  EXPECT_EQ(columns["sensor_variables"], Json::parse(R"(["a","b"])"));
  EXPECT_EQ(columns["action_variables"], Json::parse(R"(["u"])"));

  const NodeAnswer analysis = node.post("/ml/sim-analyze-rollouts", rollouts_body("run-truth"));
  for (const NodeAnswer& answer : {by_name, actions, analysis})
    EXPECT_THAT(answer.body, Not(HasSubstr(".125")));
}

TEST_F(ComputeNodeTest, ScoresEachSensorAtItsBestLag) {
  const NodeAnswer answer = node.post("/ml/sim-analyze-rollouts", rollouts_body("run-lag"));
  ASSERT_EQ(answer.status, 200) << answer.body;
  const Json result = answer.json();
  const Json& artifact = result["simulator_validation"];
  EXPECT_EQ(artifact["schema"], "simulator_validation/v2");
  EXPECT_EQ(artifact["simulator"], Json::parse(R"({"simulator_id":"sim-1","simulator_implementation_id":17,
      "validation_run_id":"run-lag","bundle_content_hash":"h1"})"));
  EXPECT_EQ(artifact["dataset"]["uuid"], ID);
  EXPECT_EQ(artifact["dataset"]["selected_episodes"], Json::parse("[0,1]"));
  EXPECT_EQ(result["dataset"]["content_sha256"], sha256_file((*root_ / "plant" / "rows.csv").string()));
  EXPECT_EQ(result["dataset"]["content_md5"].get<std::string>().size(), 32u);
  const Json& sensors = artifact["evaluation"]["sensors"];
  // 'a' matches exactly two rows late: rows 8 and 4 of the episodes have nothing to meet.
  EXPECT_EQ(sensors[0], Json::parse(R"({"key":"a","raw_name":"Temp A","score_percent":100.0,"nrmse":0.0,
      "lag_steps":2,"n_rows":12,"normalized_by":"range"})"));
  EXPECT_EQ(sensors[1]["score_percent"], 90.0);
  EXPECT_EQ(sensors[1]["lag_steps"], 0);
  EXPECT_EQ(sensors[1]["normalized_by"], "level");
  EXPECT_EQ(artifact["evaluation"]["score_percent"], 95.0);
  EXPECT_EQ(result["warnings"], Json::array());
}

TEST_F(ComputeNodeTest, WarnsOfShortEpisodesUnreadableValuesAndNothingToCompare) {
  Json body = rollouts_body("run-warn");
  body["episodes"][0]["predictions"]["a"] = {1000.125, 1000.125, 1000.125, 1001.125, nullptr};
  body["episodes"][0]["predictions"]["b"] = {5.5, 5.5, 5.5, 5.5, 5.5};
  const Json partial = node.post("/ml/sim-analyze-rollouts", body).json();
  EXPECT_EQ(
      partial["warnings"],
      Json::parse(
          R"(["episode 0 stopped after 5 of 10 rows: a value of the sim could not be read at its last row",
      "the sim's 'Temp A' could not be read at 1 row (episode 0); those rows were left out"])"));
  EXPECT_EQ(partial["simulator_validation"]["dataset"]["rows_replayed"], 11);

  // Every value read, yet short: the sim ended the episode. A dataset sensor the request does not name
  // is said to be left out.
  body = rollouts_body("run-ended");
  body["sensor_variables"] = Json::array({"b"});
  body["episodes"] = Json::parse(R"([{"episode":0,"predictions":{"b":[5.5, 5.5, 5.5, 5.5, 5.5]}},
                                     {"episode":1,"predictions":{"b":[5.5, 5.5, 5.5, 5.5, 5.5, 5.5]}}])");
  EXPECT_EQ(node.post("/ml/sim-analyze-rollouts", body).json()["warnings"],
            Json::parse(R"(["episode 0 stopped after 5 of 10 rows: the sim ended it",
                            "'Temp A' was not scored: the sim has no sensor of that name"])"));

  body = rollouts_body("run-nothing");
  body["sensor_variables"] = Json::array({"a"});
  body["episodes"] = Json::parse(R"([{"episode":1,"predictions":{"a":[null]}}])");
  const Json nothing = node.post("/ml/sim-analyze-rollouts", body).json();
  EXPECT_EQ(nothing["simulator_validation"], nullptr);
  EXPECT_THAT(nothing["warnings"].back().get<std::string>(), HasSubstr("Nothing could be compared"));
  EXPECT_THAT(nothing["warnings"].dump(), HasSubstr("'Temp A' could not be scored"));
}

Json patched(const std::string& pointer, std::optional<Json> value) {
  Json body = rollouts_body("run-refused");
  const Json::json_pointer at(pointer);
  if (value) {
    body[at] = *value;
  } else {
    body[at.parent_pointer()].erase(at.back());
  }
  return body;
}

TEST_F(ComputeNodeTest, RefusesBadRequestsWithADetail) {
  const Json eleven = std::vector<double>(11, 1.0), nine = std::vector<double>(9, 1.0);
  const struct {
    std::string path, body;
    int status;
    std::string detail;
  } cases[] = {
      {"analysis-actions", "not json", 422, "the request body is not valid JSON"},
      {"analysis-actions", "[1]", 422, "the request body must be a JSON object, not list"},
      {"analysis-actions", R"({"episodes":[0]})", 422, "the request has no 'dataset_uuid'"},
      {"analysis-actions", R"({"dataset_uuid":7,"episodes":[0]})", 422, "'dataset_uuid' must be a text"},
      {"analysis-actions", R"({"dataset_uuid":"nope","episodes":[0]})", 404, "no dataset with the id 'nope'"},
      {"analysis-actions", std::string(R"({"dataset_uuid":")") + ID + R"(","episodes":"0"})", 422,
       "'episodes' must be a list"},
      {"analysis-actions", std::string(R"({"dataset_uuid":")") + ID + R"(","episodes":[1.5]})", 422,
       "an episode number must be a whole number"},
      {"analysis-actions",
       std::string(R"({"dataset_uuid":")") + ID + R"(","episodes":[18446744073709551616]})", 422,
       "an episode number must be a whole number"},
      {"analysis-actions", std::string(R"({"dataset_uuid":")") + ID + R"(","episodes":[0,2]})", 404,
       "the dataset 'plant/line 2' has no episode 2; its episodes are 0 to 1"},
      {"analysis-actions", std::string(R"({"dataset_uuid":")") + ID + R"(","episodes":[-1]})", 404,
       "has no episode -1"},
      {"sim-analyze-rollouts", R"({"validation_run_id":1e999})", 422, "number overflow"},
      {"sim-analyze-rollouts", patched("/validation_run_id", std::nullopt).dump(), 422,
       "the request has no 'validation_run_id'"},
      {"sim-analyze-rollouts", patched("/simulator_id", Json::object()).dump(), 422,
       "'simulator_id' must be a text or a whole number, not object"},
      {"sim-analyze-rollouts", patched("/dataset_uuid", "nope").dump(), 404, "no dataset with the id 'nope'"},
      {"sim-analyze-rollouts", patched("/max_lag_steps", -1).dump(), 422,
       "'max_lag_steps' must be a whole number of rows, 0 or more, not -1"},
      {"sim-analyze-rollouts", patched("/max_lag_steps", "3").dump(), 422, "not text"},
      {"sim-analyze-rollouts", patched("/sensor_variables", Json::array({"u"})).dump(), 422,
       "'u' is not a sensor column"},
      {"sim-analyze-rollouts", patched("/action_variables", Json::array({"a"})).dump(), 422,
       "'a' is not an action column"},
      {"sim-analyze-rollouts", patched("/episodes/0", 5).dump(), 422, "each of 'episodes' must be an object"},
      {"sim-analyze-rollouts", patched("/episodes/0/episode", 7).dump(), 404, "has no episode 7"},
      {"sim-analyze-rollouts", patched("/episodes/1/episode", 0).dump(), 422, "episode 0 stands twice"},
      {"sim-analyze-rollouts", patched("/episodes/0/predictions/a", eleven).dump(), 422,
       "episode 0's predictions for 'a' hold 11 values; the episode has 10 rows"},
      {"sim-analyze-rollouts", patched("/episodes/0/predictions/a", Json::array()).dump(), 422,
       "hold 0 values"},
      {"sim-analyze-rollouts", patched("/episodes/0/predictions/b", nine).dump(), 422, "differ in length"},
      {"sim-analyze-rollouts", patched("/episodes/0/predictions/a/4", "x").dump(), 422,
       "must be numbers or null, not text"},
      {"sim-analyze-rollouts", patched("/episodes/0/predictions/z", Json::array({1.0})).dump(), 422,
       "name 'z', which is not in 'sensor_variables'"},
      {"sim-analyze-rollouts", patched("/episodes/0/predictions/b", std::nullopt).dump(), 422,
       "lack the sensor column 'b'"},
  };
  for (const auto& c : cases) {
    const NodeAnswer answer = node.request("POST", "/ml/" + c.path, c.body);
    EXPECT_EQ(answer.status, c.status) << c.path << " " << c.body;
    EXPECT_THAT(answer.json()["detail"].get<std::string>(), HasSubstr(c.detail)) << c.body;
  }
  EXPECT_THAT(node.request("GET", "/ml/datasets/nope").json()["detail"].get<std::string>(),
              HasSubstr("no dataset with the id or name 'nope'"));
  EXPECT_EQ(node.request("GET", "/ml/elsewhere").status, 404);
}

// Bodies whose faults lie inside the predictions or in the order of their members: the refusal is the
// one of the first fault in the order the node checks, wherever the bytes stand. Each detail is whole.
TEST_F(ComputeNodeTest, RefusesAFaultOfThePredictionsByTheOrderOfItsChecks) {
  const std::string head =
      std::string(R"({"dataset_uuid":")") + ID +
      R"(","simulator_id":"s","simulator_implementation_id":1,"validation_run_id":"run-)";
  const std::string rest =
      R"(","bundle_content_hash":"h","core_sensor_variables":[],"sensor_variables":["a"],"action_variables":[],)"
      R"("max_lag_steps":0,"episodes":)";
  int run = 0;
  const auto body = [&](const std::string& episodes) {
    return head + std::to_string(++run) + rest + episodes + "}";
  };
  const std::string ten = "[1,2,3,4,5,6,7,8,9,10]";
  const std::string deep = std::string(130, '[') + std::string(130, ']');
  const struct {
    std::string body;
    int status;
    std::string detail;
  } cases[] = {
      {body(R"([{"episode":0,"predictions":{"a":[1,[2],3,4,5,6,7,8,9,10]}}])"), 422,
       "episode 0's predictions for 'a' must be numbers or null, not list"},
      {body(R"([{"episode":0,"predictions":{"a":[1,2,{"x":[3]},true,5,6,7,8,9,10]}}])"), 422,
       "episode 0's predictions for 'a' must be numbers or null, not object"},
      {body(R"([{"episode":0,"predictions":{"a":["x",2,3,4,5,6,7,8,9,10,11]}}])"), 422,
       "episode 0's predictions for 'a' hold 11 values; the episode has 10 rows, and at least row 0 is "
       "always "
       "predicted"},
      {body(R"([{"episode":0,"predictions":{"a":5}}])"), 422,
       "episode 0's predictions for 'a' must be a list, not integer"},
      {body(R"([{"episode":0,"predictions":[[1]]}])"), 422,
       "episode 0's predictions must be an object, not list"},
      {body(R"([{"predictions":{"a":[1,"x"]},"episode":9}])"), 404,
       "the dataset 'plant/line 2' has no episode 9; its episodes are 0 to 1"},
      {body(R"([{"episode":0,"predictions":{"a":)" + std::string("[1,") + deep + "]}}]"), 422,
       "the request body is not valid JSON: nested deeper than 128 levels"},
      {body(R"([{"episode":0,"predictions":{"a":[1,2,)"), 422,
       "the request body is not valid JSON: parse error at line 1, column 302: syntax error while parsing "
       "value - "
       "unexpected '}'; expected '[', '{', or a literal"},
      {body(R"([{"episode":0,"predictions":{"a":[1,NaN]}}])"), 422,
       "the request body is not valid JSON: parse error at line 1, column 300: syntax error while parsing "
       "value - "
       "invalid literal; last read: '1,N'"},
      {body(R"([{"episode":0,"predictions":{"a":[1,1e999]}}])"), 422,
       "the request body is not valid JSON: number overflow parsing '1e999'"},
      {body(R"([{"episode":0,"predictions":{"a":[1]}},{"episode":0,"predictions":{"a":[1,"x"]}}])"), 422,
       "episode 0 stands twice"},
      {body(R"([{"episode":1,"predictions":{"a":[1,2,3,4,5,6],"b":[1]}}])"), 422,
       "episode 1's predictions name 'b', which is not in 'sensor_variables'"},
  };
  for (const auto& c : cases) {
    const NodeAnswer answer = node.request("POST", "/ml/sim-analyze-rollouts", c.body);
    EXPECT_EQ(answer.status, c.status) << c.body;
    EXPECT_EQ(answer.json()["detail"], c.detail) << c.body;
  }

  // The last of a key standing twice is the one read, and the members may come in any order.
  const NodeAnswer reordered = node.request(
      "POST", "/ml/sim-analyze-rollouts",
      R"({"episodes":[{"predictions":{"a":[1,"x"],"a":)" + ten +
          R"(},"episode":0}],"max_lag_steps":0,)"
          R"("action_variables":[],"sensor_variables":["a"],"core_sensor_variables":[],"bundle_content_hash":"h",)"
          R"("validation_run_id":"run-reordered","simulator_implementation_id":1,"simulator_id":"s","dataset_uuid":")" +
          std::string(ID) + R"("})");
  ASSERT_EQ(reordered.status, 200) << reordered.body;
  const NodeAnswer plain = node.request("POST", "/ml/sim-analyze-rollouts",
                                        body(R"([{"episode":0,"predictions":{"a":)" + ten + "}}]"));
  ASSERT_EQ(plain.status, 200);
  Json expected = plain.json(), got = reordered.json();
  expected["simulator_validation"]["simulator"].erase("validation_run_id");
  got["simulator_validation"]["simulator"].erase("validation_run_id");
  EXPECT_EQ(got, expected);
}

// The node converts the predictions' numbers itself: each must be the double that strtod reads.
TEST(ComputeNodeBodyTest, ReadsEachPredictionAsTheDoubleStrtodReads) {
  const std::vector<std::string> numbers = {"0.1",
                                            "-0.0",
                                            "21.337439127000003",
                                            "5e-324",
                                            "2.2250738585072011e-308",
                                            "1e-400",
                                            "1.7976931348623157e308",
                                            "18446744073709551616",
                                            "3",
                                            "-9223372036854775809",
                                            "0.30000000000000004",
                                            "9007199254740993",
                                            "1E+2",
                                            "null"};
  std::string list;
  for (const std::string& number : numbers) list += (list.empty() ? "" : ",") + number;
  std::stringbuf bytes(R"({"junk":[1,{"x":2}],"episodes":[{"predictions":{"a":[)" + list + "]}}]}");
  const node_app::RolloutsBody body = node_app::read_rollouts_body(bytes);
  EXPECT_FALSE(body.value.contains("junk")) << "a member never read is not kept";
  ASSERT_EQ(body.lists.size(), 1u);
  const node_app::PredictionList& read = body.lists[0];
  EXPECT_EQ(read.count, numbers.size());
  EXPECT_EQ(read.nulls, 1u);
  const std::span<const double> values = body.values.span(read.first, read.count);
  for (std::size_t i = 0; i + 1 < numbers.size(); ++i) {
    const double expected = std::strtod(numbers[i].c_str(), nullptr);
    EXPECT_EQ(std::memcmp(&values[i], &expected, sizeof expected), 0)
        << numbers[i] << " read as " << values[i];
  }
  EXPECT_TRUE(std::isnan(values.back()));
}

TEST_F(ComputeNodeTest, AnalyzesARunOnceAndRefusesItForAnotherBundle) {
  const NodeAnswer first = node.post("/ml/sim-analyze-rollouts", rollouts_body("run-once"));
  ASSERT_EQ(first.status, 200);
  Json again = rollouts_body("run-once");
  again["max_lag_steps"] = 0;
  EXPECT_EQ(node.post("/ml/sim-analyze-rollouts", again).body, first.body);
  const NodeAnswer other = node.post("/ml/sim-analyze-rollouts", rollouts_body("run-once", "h2"));
  EXPECT_EQ(other.status, 409);
  EXPECT_THAT(other.json()["detail"].get<std::string>(),
              HasSubstr("the validation run 'run-once' was already analyzed for the bundle h1"));

  // Racing requests of one new run: one bundle wins, and every request of it gets the same answer.
  std::vector<std::future<NodeAnswer>> racing;
  for (int i = 0; i < 6; ++i) {
    racing.push_back(std::async(std::launch::async, [this, i] {
      return node.post("/ml/sim-analyze-rollouts", rollouts_body("run-race", i % 2 ? "odd" : "even"));
    }));
  }
  std::set<std::string> winners;
  int refused = 0;
  for (auto& answer : racing) {
    const NodeAnswer got = answer.get();
    if (got.status == 409) ++refused;
    if (got.status == 200)
      winners.insert(got.json()["simulator_validation"]["simulator"]["bundle_content_hash"]);
  }
  EXPECT_EQ(winners.size(), 1u);
  EXPECT_EQ(refused, 3);
}

TEST_F(ComputeNodeTest, DemandsItsTokenOnEveryEndpoint) {
  RunningNode locked(*root_, {.token = "s3cret"});
  const httplib::Headers wrong{{"Authorization", "Bearer s3cre"}}, right{{"Authorization", "bearer s3cret"}};
  for (const auto& [method, path] : {std::pair<std::string, std::string>{"GET", "/ml/datasets/x"},
                                     {"GET", "/ml/datasets"},
                                     {"GET", "/ml/dataset-stats/x"},
                                     {"POST", "/ml/analysis-actions"},
                                     {"POST", "/ml/sim-analyze-rollouts"}}) {
    const NodeAnswer none = locked.request(method, path, "{}");
    EXPECT_EQ(none.status, 401);
    EXPECT_THAT(none.json()["detail"].get<std::string>(), HasSubstr("needs its token"));
    const NodeAnswer bad = locked.request(method, path, "{}", wrong);
    EXPECT_EQ(bad.status, 401);
    EXPECT_THAT(bad.json()["detail"].get<std::string>(), HasSubstr("does not match"));
    EXPECT_NE(locked.request(method, path, "{}", right).status, 401);
  }
  // A request is logged just after its answer is sent.
  for (int i = 0; i < 2000 && locked.log().size() < 15; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(locked.log().size(), 15u);
  EXPECT_THAT(locked.log(), ::testing::Contains("POST /ml/sim-analyze-rollouts 401"));
}

TEST_F(ComputeNodeTest, AgreesWithTheStepsOwnClient) {
  testing::ScopedEnv url("NALTO_COMPUTE_URL", node.url());
  testing::ScopedEnv token("NALTO_COMPUTE_TOKEN", std::nullopt);
  testing::Loop loop;
  testing::FakePlatform platform;
  const Json dataset = loop.run(outside::resolve_local_dataset(platform, "org-1", NAME));
  EXPECT_EQ(dataset["id"], ID);
  EXPECT_EQ(dataset["name"], NAME);

  const Json columns = _node_post("analysis-actions",
                                  {{"dataset_uuid", dataset["id"]},
                                   {"episodes", pick_episodes(dataset["cycles"]["count"].get<int>(), 20)}},
                                  5);
  const Plan plan = plan_analysis(Json::parse(R"({"sensors":[{"name":"[0]","name_mapped":"Temp A"}],
      "actions":[{"name":"[0]","name_mapped":"Power"}]})"),
                                  columns);
  EXPECT_EQ(plan.core, std::vector<std::string>{"Temp A"});
  EXPECT_EQ(plan.actions[0].second, "u");

  Json body = rollouts_body("run-client");
  body["core_sensor_variables"] = plan.core;
  body["sensor_variables"] = Json::array({plan.sensors[0].second});
  for (Json& entry : body["episodes"]) entry["predictions"].erase("b");
  const Json result = _node_post("sim-analyze-rollouts", body, 5);
  EXPECT_EQ(result["simulator_validation"]["evaluation"]["score_percent"], 100.0);
  EXPECT_EQ(result["simulator_validation"]["dataset"]["selected_episodes"].size(), 2u);
  EXPECT_TRUE(result["dataset"].contains("content_md5"));

  try {
    _node_post("analysis-actions", {{"dataset_uuid", ID}, {"episodes", {9}}}, 5);
    ADD_FAILURE() << "no refusal";
  } catch (const PublishReportError& e) {
    EXPECT_STREQ(
        e.what(),
        "The compute node refused the analysis: the dataset 'plant/line 2' has no episode 9; its episodes "
        "are 0 to 1");
  }
  EXPECT_THROW(loop.run(outside::resolve_local_dataset(platform, "org-1", "elsewhere")), PublishReportError);
}

TEST_F(ComputeNodeTest, CountsEpisodesCellsAndActionRangesButNoSensorValue) {
  const NodeAnswer got = node.request("GET", "/ml/dataset-stats/plant%2Fline%202");

  ASSERT_EQ(got.status, 200) << got.body;
  const Json stats = got.json();
  EXPECT_EQ(stats["id"], ID);
  EXPECT_EQ(stats["n_rows"], 16);
  EXPECT_EQ(stats["episodes"], Json::parse(R"({"count": 2, "rows": {"min": 6, "median": 8, "max": 10}})"));
  EXPECT_EQ(stats["columns"], Json::parse(R"([
    {"key": "a", "raw_name": "Temp A", "role": "sensor", "missing": 0},
    {"key": "b", "raw_name": "Level B", "role": "sensor", "missing": 0},
    {"key": "u", "raw_name": "Power", "role": "action", "missing": 1, "min": 0.0, "max": 4.5}])"));
  EXPECT_THAT(got.body, Not(HasSubstr(".125")));

  const NodeAnswer unknown = node.request("GET", "/ml/dataset-stats/plant");
  EXPECT_EQ(unknown.status, 404);
  EXPECT_EQ(unknown.json()["detail"], "this compute node has no dataset with the id or name 'plant'");
}

TEST(ComputeNodeStatsTest, TakesTheMedianOfRowsPerEpisodeAndSkipsMissingActions) {
  const fs::path root = fresh_dir();
  const std::string description =
      R"({"id": "m", "name": "m", "columns": [{"key": "s", "role": "sensor"}, {"key": "u", "role": "action"}]})";
  const struct {
    std::vector<int> rows;
    Json median;
  } cases[] = {{{3}, 3}, {{2, 5, 3}, 3}, {{2, 3}, 2.5}, {{4, 2}, 3}, {{}, nullptr}};
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    std::string csv = "episode,row,s,u\n";
    for (std::size_t e = 0; e < cases[i].rows.size(); ++e)
      for (int r = 0; r < cases[i].rows[e]; ++r) csv += std::to_string(e) + "," + std::to_string(r) + ",,\n";
    make_folder(root / std::to_string(i) / "m", description, csv);
    node_app::Service service(Catalog::load(root / std::to_string(i)));

    const node_app::Reply reply = service.dataset_stats("m");

    ASSERT_EQ(reply.status, 200) << reply.body;
    const Json stats = Json::parse(reply.body);
    EXPECT_EQ(stats["episodes"]["rows"]["median"], cases[i].median) << reply.body;
    EXPECT_EQ(stats["episodes"]["rows"]["median"].is_number_float(), cases[i].median.is_number_float());
    const Json& action = stats["columns"][1];
    EXPECT_EQ(action["missing"], stats["n_rows"]);
    EXPECT_TRUE(action["min"].is_null() && action["max"].is_null()) << reply.body;
  }
  fs::remove_all(root);
}

TEST(ComputeNodeRescanTest, ServesFoldersAddedAfterItStartedAndSkipsThoseItCannot) {
  const fs::path root = fresh_dir();
  make_folder(root / "plant", DESCRIPTION, rows_csv());
  RunningNode node(root);
  EXPECT_EQ(node.request("GET", "/ml/datasets").json()["datasets"].size(), 1u);

  make_folder(root / "later",
              R"({"id": "later-1", "name": "later", "columns": [{"key": "s", "role": "sensor"}]})",
              "episode,row,s\n0,0,1\n0,1,2\n");
  const NodeAnswer later = node.request("GET", "/ml/datasets/later");
  ASSERT_EQ(later.status, 200) << later.body;
  EXPECT_EQ(later.json()["n_rows"], 2);

  make_folder(root / "broken", DESCRIPTION, "episode,row,x\n");
  // Sorted before the dataset it copies, and still the one left out.
  make_folder(root / "a-twin", DESCRIPTION, rows_csv());
  node.request("GET", "/ml/datasets");
  const Json listed = node.request("GET", "/ml/datasets").json();

  EXPECT_EQ(listed["datasets"], Json::parse(R"([{"id": "later-1", "name": "later", "cycles": {"count": 1},
    "n_rows": 2}, {"id": ")" + std::string(ID) +
                                            R"(", "name": ")" + NAME + R"(", "cycles": {"count": 2},
    "n_rows": 16}])"));
  ASSERT_EQ(listed["skipped"].size(), 2u) << listed;
  EXPECT_EQ(listed["skipped"][0]["folder"], "a-twin");
  EXPECT_THAT(listed["skipped"][0]["reason"].get<std::string>(), HasSubstr("is already another dataset's"));
  EXPECT_EQ(listed["skipped"][1]["folder"], "broken");
  EXPECT_THAT(listed["skipped"][1]["reason"].get<std::string>(),
              HasSubstr("line 1: the column 'x' is not in dataset.json"));
  EXPECT_EQ(node.request("GET", std::string("/ml/datasets/") + ID).status, 200);
  // Each folder is told of once, however often it is scanned.
  const std::vector<std::string> log = node.log();
  const auto told = [&](const std::string& part) {
    return std::count_if(log.begin(), log.end(), [&](const std::string& line) {
      return line.find(part) != std::string::npos && line.find("GET ") != 0;
    });
  };
  EXPECT_EQ(told("skipped the dataset folder " + (root / "broken").string()), 1);
  EXPECT_EQ(told("serving the dataset 'later'"), 1);
  fs::remove_all(root);
}

TEST(ComputeNodeRescanTest, AnswersWhileFoldersAreAddedFromManyThreads) {
  const fs::path root = fresh_dir();
  make_folder(root / "plant", DESCRIPTION, rows_csv());
  RunningNode node(root);
  std::vector<std::future<std::vector<int>>> clients;
  for (int c = 0; c < 4; ++c) {
    clients.push_back(std::async(std::launch::async, [&node] {
      std::vector<int> statuses;
      for (int i = 0; i < 20; ++i) {
        statuses.push_back(node.request("GET", "/ml/datasets").status);
        statuses.push_back(node.request("GET", std::string("/ml/datasets/") + ID).status);
      }
      return statuses;
    }));
  }
  for (int i = 0; i < 5; ++i)
    make_folder(root / ("added-" + std::to_string(i)),
                R"({"id": "added-)" + std::to_string(i) + R"(", "name": "added )" + std::to_string(i) +
                    R"(", "columns": []})",
                "episode,row\n0,0\n");
  for (auto& client : clients) EXPECT_THAT(client.get(), ::testing::Each(200));
  EXPECT_EQ(node.request("GET", "/ml/datasets").json()["datasets"].size(), 6u);
  fs::remove_all(root);
}

TEST(ComputeNodeFitTest, ScoresByTheFormulaAtTheBestLag) {
  const auto nan = std::nan("");
  std::vector<double> wave;
  for (int i = 0; i < 20; ++i) wave.push_back((i * 7) % 11);
  std::vector<double> late(3, 0.0);
  late.insert(late.end(), wave.begin(), wave.end() - 3);
  const struct {
    std::vector<double> truth, predicted;
    std::size_t max_lag;
    std::optional<SensorFit> fit;
  } cases[] = {
      // sqrt((0+0+0+0+4)/5) / (4-0)
      {{0, 1, 2, 3, 4},
       {0, 1, 2, 3, 6},
       3,
       SensorFit{0, 5, std::sqrt(0.8) / 4, 100 * (1 - std::sqrt(0.8) / 4)}},
      {wave, late, 5, SensorFit{3, 17, 0, 100}},
      {{5, 5, 5}, {5.5, 5.5, 5.5}, 0, SensorFit{0, 3, 0.1, 90, Scale::level}},
      {{0, 0}, {0.25, -0.25}, 0, SensorFit{0, 2, 0.25, 75, Scale::unit}},
      {{0, 1}, {10, 11}, 0, SensorFit{0, 2, 10, 0}},
      {{0, 1, 2, 100}, {0, 1, 2}, 0, SensorFit{0, 3, 0, 100}},
      {{0, nan, 2}, {0, 7, 2}, 0, SensorFit{0, 2, 0, 100}},
      {{0, 1}, {nan, nan}, 1, std::nullopt},
  };
  for (const auto& c : cases) {
    const SeriesPair pair{c.truth, c.predicted};
    const std::optional<SensorFit> fit = node_app::fit_sensor({&pair, 1}, c.max_lag);
    ASSERT_EQ(fit.has_value(), c.fit.has_value());
    if (!fit) continue;
    EXPECT_EQ(fit->lag_steps, c.fit->lag_steps);
    EXPECT_EQ(fit->n_rows, c.fit->n_rows);
    EXPECT_NEAR(fit->nrmse, c.fit->nrmse, 1e-12);
    EXPECT_NEAR(fit->score_percent, c.fit->score_percent, 1e-9);
    EXPECT_EQ(fit->scale, c.fit->scale);
  }
  // Below the true lag the search cannot find the exact match.
  const SeriesPair pair{wave, late};
  EXPECT_LT(node_app::fit_sensor({&pair, 1}, 2)->score_percent, 100);
}

TEST(ComputeNodeDatasetTest, LoadsTheFormatAndNamesWhatIsWrong) {
  const fs::path root = fresh_dir();
  const std::string header = "episode,row,a,b,u\n";
  const node_app::Dataset loaded = node_app::load_dataset(make_folder(
      root / "ok", DESCRIPTION, "\xEF\xBB\xBF\"episode\",row,u,a,b\r\n0,0,1,,2\r\n0,1,3,4,5\r\n"));
  EXPECT_EQ(loaded.n_rows, 2u);
  EXPECT_TRUE(std::isnan(loaded.column("a")->values[0]));
  EXPECT_EQ(loaded.column("u")->values[1], 3);

  const struct {
    std::string description, rows, error;
  } cases[] = {
      {"{", header, "dataset.json: not valid JSON"},
      {R"({"id":"x","name":"n","columns":[{"key":"a","role":"input"}]})", "episode,row,a\n",
       "'role' must be \"sensor\" or \"action\""},
      {DESCRIPTION, "episode,row,a,b\n", "dataset.json's column 'u' has no column here"},
      {DESCRIPTION, "episode,row,a,b,u,z\n", "the column 'z' is not in dataset.json"},
      {DESCRIPTION, header + "1,0,1,2,3\n", "line 2: episode 1 where episode 0 was due"},
      {DESCRIPTION, header + "0,0,1,2,3\n0,2,1,2,3\n", "line 3: row 2 of episode 0 where row 1 was due"},
      {DESCRIPTION, header + "0,0,1,x,3\n", "the value of 'b' is not a finite number"},
      {DESCRIPTION, header + "0,0,1,2\n", "4 values where the header has 5"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const fs::path folder = make_folder(root / std::to_string(i), cases[i].description, cases[i].rows);
    try {
      node_app::load_dataset(folder);
      ADD_FAILURE() << "loaded: " << cases[i].error;
    } catch (const DatasetError& e) {
      EXPECT_THAT(e.what(), HasSubstr(cases[i].error));
    }
  }
  fs::remove_all(root);

  EXPECT_TRUE(node_app::is_loopback("127.0.0.1"));
  EXPECT_TRUE(node_app::is_loopback("127.8.9.1"));
  EXPECT_TRUE(node_app::is_loopback("::1"));
  EXPECT_TRUE(node_app::is_loopback("localhost"));
  EXPECT_FALSE(node_app::is_loopback("0.0.0.0"));
  EXPECT_FALSE(node_app::is_loopback("192.168.1.2"));
}

// rows.csv is read a block at a time: rows cut by the blocks' ends, a last row without its line break
// and the digests come out as from the whole text at once.
TEST(ComputeNodeDatasetTest, ReadsALargeFileInBlocksAsTheWholeText) {
  const fs::path root = fresh_dir();
  std::string rows =
      "\xEF\xBB\xBF"
      "episode,row,a,b,u\r\n";
  for (int e = 0; e < 3; ++e)
    for (int i = 0; i < 4000; ++i)
      rows += std::to_string(e) + "," + std::to_string(i) + "," + plain_text(0.001 * i) + "," +
              (i % 9 ? "7.25" : "") + ",\"" + std::to_string(i % 3) + "\"\r\n";
  rows += "2,4000,1,2,3";
  const node_app::Dataset loaded = node_app::load_dataset(make_folder(root / "large", DESCRIPTION, rows));
  node_app::Dataset whole;
  node_app::read_description(whole, DESCRIPTION, "dataset.json");
  node_app::read_rows(whole, rows, "rows.csv");
  ASSERT_GT(rows.size(), 4u * 64 * 1024);
  EXPECT_EQ(loaded.n_rows, 12'001u);
  ASSERT_EQ(loaded.episodes.size(), whole.episodes.size());
  for (std::size_t c = 0; c < whole.columns.size(); ++c) {
    const std::vector<double>& got = loaded.columns[c].values;
    ASSERT_EQ(got.size(), whole.n_rows);
    for (std::size_t i = 0; i < got.size(); ++i)
      ASSERT_TRUE(got[i] == whole.columns[c].values[i] ||
                  (std::isnan(got[i]) && std::isnan(whole.columns[c].values[i])))
          << c << " " << i;
  }
  EXPECT_EQ(loaded.content_sha256, sha256_file((root / "large" / "rows.csv").string()));

  // A file without line breaks is refused once its first line passes the limit, not read whole.
  const fs::path endless = make_folder(root / "endless", DESCRIPTION, std::string(17 << 20, '1'));
  try {
    node_app::load_dataset(endless);
    ADD_FAILURE() << "loaded";
  } catch (const DatasetError& e) {
    EXPECT_THAT(e.what(), HasSubstr("rows.csv line 1: longer than 16 MiB"));
  }
  fs::remove_all(root);
}

}  // namespace
}  // namespace nalto
