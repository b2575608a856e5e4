// The node's diagnostics of a sim's fit: the lag in both directions, bias, gain and correlation of each
// sensor, each episode's score and the hints, on series whose answer is known; and the endpoint that
// scores without a validation run.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "node/node_app_fixture.hpp"

namespace nalto {
namespace {

using node_app::Catalog;
using node_app::diagnose_sensor;
using node_app::SensorDiagnosis;
using node_app::SeriesPair;
using node_app::Service;
using ::testing::ElementsAre;
using testing::fresh_dir;
using ::testing::HasSubstr;
using testing::make_folder;
using testing::NodeAnswer;
using testing::RunningNode;
namespace fs = std::filesystem;

// A random walk in steps of a quarter, so that every value and every difference is exact in binary.
std::vector<double> walk(std::size_t rows, unsigned seed, double start = 20) {
  std::mt19937 random(seed);
  std::vector<double> values{start};
  while (values.size() < rows) values.push_back(values.back() + 0.25 * static_cast<int>(random() % 9) - 1);
  return values;
}

std::vector<double> sine(std::size_t rows) {
  std::vector<double> values;
  for (std::size_t i = 0; i < rows; ++i) values.push_back(std::sin(2 * M_PI * static_cast<double>(i) / 40));
  return values;
}

// The predictions of a sim whose row i shows the truth of row i - lag: lag > 0 trails, lag < 0 leads.
std::vector<double> shifted(const std::vector<double>& truth, int lag) {
  std::vector<double> values;
  const int last = static_cast<int>(truth.size()) - 1;
  for (int i = 0; i <= last; ++i)
    values.push_back(truth[static_cast<std::size_t>(std::clamp(i - lag, 0, last))]);
  return values;
}

std::vector<double> mapped(const std::vector<double>& truth, double gain, double offset) {
  std::vector<double> values;
  for (const double t : truth) values.push_back(gain * t + offset);
  return values;
}

double mean(const std::vector<double>& values) {
  double total = 0;
  for (const double value : values) total += value;
  return total / static_cast<double>(values.size());
}

struct Expected {
  std::ptrdiff_t lag_rows;
  std::size_t n_rows;
  double bias;
  std::optional<double> gain, correlation;
};

TEST(NodeDiagnosisTest, FindsTheKnownDelayGainAndBias) {
  const std::vector<double> steps = walk(200, 3), wave = sine(200);
  // Far from zero: raw sums of squares would lose the spread's digits there.
  const std::vector<double> high = mapped(wave, 1000, 1e9);
  const struct {
    const char* name;
    std::vector<double> truth, predicted;
    std::size_t search;
    std::optional<Expected> expected;
  } cases[] = {
      {"trails by 2", steps, shifted(steps, 2), 10, Expected{2, 198, 0, 1, 1}},
      {"leads by 3", steps, shifted(steps, -3), 10, Expected{-3, 197, 0, 1, 1}},
      {"beyond the search", steps, shifted(steps, -3), 2, Expected{-2, 198, 0, std::nullopt, std::nullopt}},
      {"a gain of 1.5", wave, mapped(wave, 1.5, 0), 10, Expected{0, 200, 0, 1.5, 1}},
      {"a bias of 0.3", wave, mapped(wave, 1, 0.3), 10, Expected{0, 200, 0.3, 1, 1}},
      {"a perfect fit", steps, steps, 10, Expected{0, 200, 0, 1, 1}},
      {"no search", steps, shifted(steps, 2), 0, Expected{0, 200, 0, std::nullopt, std::nullopt}},
      {"far from zero", high, mapped(high, 1.5, -5e8), 10, Expected{0, 200, 0, 1.5, 1}},
      {"a constant truth", std::vector<double>(30, 5), mapped(walk(30, 7), 1, -15), 0,
       Expected{0, 30, 0, std::nullopt, std::nullopt}},
      {"too few rows", walk(9, 3), walk(9, 3), 10, std::nullopt},
      // Lag 1 would compare 9 rows: only lag 0 may be taken.
      {"ten rows", walk(10, 3), shifted(walk(10, 3), 1), 10, Expected{0, 10, 0, std::nullopt, std::nullopt}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const SeriesPair pair{c.truth, c.predicted};
    const std::optional<SensorDiagnosis> found = diagnose_sensor({&pair, 1}, c.search, 10);
    ASSERT_EQ(found.has_value(), c.expected.has_value());
    if (!found) continue;
    EXPECT_EQ(found->lag_rows, c.expected->lag_rows);
    EXPECT_EQ(found->n_rows, c.expected->n_rows);
    if (std::string(c.name) == "a constant truth") {
      EXPECT_FALSE(found->gain);
      EXPECT_FALSE(found->correlation);
      continue;
    }
    if (c.expected->gain) {
      // Values near 1e9 keep about 1e-7 of their fraction.
      EXPECT_NEAR(found->bias, c.expected->bias, 1e-6);
      ASSERT_TRUE(found->gain && found->correlation);
      EXPECT_NEAR(*found->gain, *c.expected->gain, 1e-6);
      EXPECT_NEAR(*found->correlation, *c.expected->correlation, 1e-6);
    } else {
      // A lag off the true one: the fit is no longer exact.
      EXPECT_GT(found->nrmse, 0);
    }
  }
}

TEST(NodeDiagnosisTest, SplitsTheErrorIntoOffsetAndSpread) {
  const std::vector<double> wave = sine(200);
  const std::vector<double> higher = mapped(wave, 1, 0.3), wider = mapped(wave, 1.5, 0);
  const SeriesPair offset{wave, higher}, amplitude{wave, wider};
  const std::optional<SensorDiagnosis> by_offset = diagnose_sensor({&offset, 1}, 10, 10);
  const std::optional<SensorDiagnosis> by_amplitude = diagnose_sensor({&amplitude, 1}, 10, 10);
  ASSERT_TRUE(by_offset && by_amplitude);
  EXPECT_NEAR(by_offset->bias_share, 1, 1e-9);
  EXPECT_NEAR(by_offset->variance_share, 0, 1e-9);
  EXPECT_NEAR(by_amplitude->bias_share, 0, 1e-9);
  EXPECT_NEAR(by_amplitude->variance_share, 1, 1e-9);
  EXPECT_NEAR(by_amplitude->sd_predicted / by_amplitude->sd_truth, 1.5, 1e-12);
}

// A rising series with a ripple: shifted against itself, it looks like an offset.
std::vector<double> ramp(std::size_t rows) {
  std::vector<double> values = sine(rows);
  for (std::size_t i = 0; i < rows; ++i) values[i] = static_cast<double>(i) + 0.5 * values[i];
  return values;
}

// 0, 1, 2, ...: a straight line, on which a shift and an offset are the same error.
std::vector<double> line(std::size_t rows) {
  std::vector<double> values;
  for (std::size_t i = 0; i < rows; ++i) values.push_back(static_cast<double>(i));
  return values;
}

TEST(NodeDiagnosisTest, TakesTheLagWhoseErrorVariesLeastSoThatAnOffsetIsNoDelay) {
  const std::vector<double> wave = sine(200), rising = ramp(200), steps = walk(200, 5);
  // A value so large that its error squared overflows at every lag but the one that matches it.
  std::vector<double> huge = steps;
  huge[20] = 1.5e308;
  const struct {
    const char* name;
    std::vector<double> truth, predicted;
    std::ptrdiff_t lag_rows;
    double bias;
  } cases[] = {
      {"an offset on a rising series", rising, mapped(rising, 1, 3), 0, 3},
      {"an offset on a sine", wave, mapped(wave, 1, 3), 0, 3},
      {"a delay and an offset", steps, mapped(shifted(steps, 2), 1, 1), 2, 1},
      {"a lead and an offset", steps, mapped(shifted(steps, -3), 1, 1), -3, 1},
      {"a delay and an offset on a sine", wave, mapped(shifted(wave, 2), 1, 1), 2, 1},
      {"a delay on a rising series", rising, shifted(rising, 2), 2, 0},
      {"a gain", wave, mapped(wave, 1.5, 0), 0, 0},
      {"a perfect fit", rising, rising, 0, 0},
      {"an overflow", huge, shifted(huge, 1), 1, 0},
      // Every lag's error is constant on a straight line: the tie goes to the least NRMSE.
      {"an offset on a straight line", line(200), mapped(line(200), 1, 3), -3, 0},
      // Every lag's error is 0: the tie goes to the smaller |lag|.
      {"a constant", std::vector<double>(50, 4), std::vector<double>(50, 4), 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const SeriesPair pair{c.truth, c.predicted};
    const std::optional<SensorDiagnosis> found = diagnose_sensor({&pair, 1}, 10, 10);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->lag_rows, c.lag_rows);
    EXPECT_NEAR(found->bias, c.bias, 1e-9);
  }
}

TEST(NodeDiagnosisTest, OnATieTakesTheTrailingLagBeforeTheLeadingOne) {
  // 0, 1, 0, 1, ...: a sim one row late is also one row early, and three rows either way.
  std::vector<double> truth;
  for (std::size_t i = 0; i < 40; ++i) truth.push_back(static_cast<double>(i % 2));
  const std::vector<double> late = mapped(truth, -1, 1);
  const SeriesPair pair{truth, late};
  const std::optional<SensorDiagnosis> found = diagnose_sensor({&pair, 1}, 10, 10);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->lag_rows, 1);
  EXPECT_EQ(found->nrmse, 0);
}

struct ByHand {
  std::ptrdiff_t lag = 99;
  double variance = 0, nrmse = 0;
};

// The search over signed lags, one plain pass per lag, with the rules that the node states: the errors
// taken less the mean error at lag 0, the least variance of the error, then the least NRMSE.
ByHand best_lag_by_hand(const std::vector<SeriesPair>& episodes, std::ptrdiff_t reach) {
  double shift = 0;
  std::size_t at_zero = 0;
  for (const SeriesPair& episode : episodes)
    for (std::size_t i = 0; i < std::min(episode.truth.size(), episode.predicted.size()); ++i)
      if (!std::isnan(episode.truth[i]) && !std::isnan(episode.predicted[i])) {
        shift += episode.predicted[i] - episode.truth[i];
        ++at_zero;
      }
  shift = at_zero ? shift / static_cast<double>(at_zero) : 0;
  std::optional<ByHand> best;
  for (const std::ptrdiff_t lag :
       {0, 1, -1, 2, -2, 3, -3, 4, -4, 5, -5, 6, -6, 7, -7, 8, -8, 9, -9, 10, -10}) {
    if (std::abs(lag) > reach) continue;
    double errors = 0, squares = 0, low = INFINITY, high = -INFINITY;
    std::size_t n = 0;
    for (const SeriesPair& episode : episodes) {
      const auto reached =
          static_cast<std::ptrdiff_t>(std::min(episode.truth.size(), episode.predicted.size()));
      for (std::ptrdiff_t i = 0; i < reached; ++i) {
        if (i + lag < 0 || i + lag >= reached) continue;
        const double t = episode.truth[static_cast<std::size_t>(i)];
        const double p = episode.predicted[static_cast<std::size_t>(i + lag)];
        if (std::isnan(t) || std::isnan(p)) continue;
        const double error = p - (t + shift);
        errors += error;
        squares += error * error;
        low = std::min(low, t);
        high = std::max(high, t);
        ++n;
      }
    }
    if (n < 10 || 2 * n < at_zero) continue;
    const double mean = errors / static_cast<double>(n);
    const double variance = std::max(0.0, squares / static_cast<double>(n) - mean * mean);
    const ByHand each{lag, variance, std::sqrt(variance + (shift + mean) * (shift + mean)) / (high - low)};
    const bool tie = std::abs(variance - (best ? best->variance : 0)) <=
                     1e-12 * std::max(variance, best ? best->variance : 0);
    if (!best || (tie ? each.nrmse < best->nrmse : variance < best->variance)) best = each;
  }
  return best.value_or(ByHand{});
}

// Episodes shorter than the lags, predictions that stop early, missing values on both sides or none:
// the search that reads several lags in one pass finds what a pass per lag finds, to the last bit.
TEST(NodeDiagnosisTest, SearchesEveryLagAsAPassOfItsOwnWould) {
  for (const unsigned seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    std::vector<std::vector<double>> truths, predictions;
    for (const std::size_t rows : {4u, 13u, 60u, 200u}) {
      std::vector<double> truth = walk(rows, seed + static_cast<unsigned>(rows));
      std::vector<double> predicted = shifted(truth, static_cast<int>(random() % 9) - 4);
      // An offset and noise of full precision: sums in another order would differ in their last bits.
      for (double& value : predicted)
        value += 3.1 + 0.25 * static_cast<int>(random() % 5) + 1e-3 * std::sin(value);
      predicted.resize(rows - random() % std::min<std::size_t>(rows, 6));
      // Some episodes have no missing value: the search reads those on a path of their own.
      for (int holes = (seed + rows) % 2 ? 3 : 0; holes < 3; ++holes) {
        truth[random() % truth.size()] = NAN;
        if (!predicted.empty()) predicted[random() % predicted.size()] = NAN;
      }
      truths.push_back(std::move(truth));
      predictions.push_back(std::move(predicted));
    }
    std::vector<SeriesPair> episodes;
    for (std::size_t e = 0; e < truths.size(); ++e) episodes.push_back({truths[e], predictions[e]});
    for (const std::size_t search : {0u, 3u, 10u}) {
      const std::optional<SensorDiagnosis> found = diagnose_sensor(episodes, search, 10);
      const ByHand by_hand = best_lag_by_hand(episodes, static_cast<std::ptrdiff_t>(search));
      ASSERT_TRUE(found);
      EXPECT_EQ(found->lag_rows, by_hand.lag) << search;
      EXPECT_EQ(found->error_variance, by_hand.variance) << search;
      EXPECT_EQ(found->nrmse, by_hand.nrmse) << search;
    }
  }
}

// A dataset of three episodes of two sensors; the sims below are made from its truth.
constexpr const char* ID = "diag-1";
const std::string DESCRIPTION = R"({"id": "diag-1", "name": "tanks", "columns": [
  {"key": "a", "raw_name": "Tank 1", "role": "sensor"}, {"key": "b", "raw_name": "Tank  2", "role": "sensor"},
  {"key": "u", "raw_name": "Valve", "role": "action"}]})";
constexpr std::size_t EPISODES = 3, ROWS = 60;

std::vector<double> truth(std::size_t episode, std::size_t sensor) {
  return walk(ROWS, static_cast<unsigned>(10 * episode + sensor), 10 + 5.0 * static_cast<double>(sensor));
}

std::string rows_csv() {
  std::string text = "episode,row,a,b,u\n";
  for (std::size_t e = 0; e < EPISODES; ++e) {
    const std::vector<double> a = truth(e, 0), b = truth(e, 1);
    for (std::size_t i = 0; i < ROWS; ++i)
      text += std::to_string(e) + "," + std::to_string(i) + "," + Json(a[i]).dump() + "," +
              Json(b[i]).dump() + ",1\n";
  }
  return text;
}

using Sim = std::function<std::vector<double>(std::size_t episode, std::size_t sensor)>;

Json score_body(const Sim& sim) {
  Json episodes = Json::array();
  for (std::size_t e = 0; e < EPISODES; ++e)
    episodes.push_back({{"episode", e}, {"predictions", {{"a", sim(e, 0)}, {"b", sim(e, 1)}}}});
  return Json{{"dataset_uuid", ID},
              {"core_sensor_variables", {"Tank 1"}},
              {"sensor_variables", {"a", "b"}},
              {"action_variables", {"u"}},
              {"max_lag_steps", 3},
              {"episodes", std::move(episodes)}};
}

Json analyze_body(const Sim& sim, const std::string& run) {
  Json body = score_body(sim);
  body["simulator_id"] = "sim-1";
  body["simulator_implementation_id"] = "impl-1";
  body["validation_run_id"] = run;
  body["bundle_content_hash"] = "h1";
  return body;
}

Sim each_sensor(std::function<std::vector<double>(const std::vector<double>&, std::size_t sensor)> make) {
  return [make](std::size_t e, std::size_t s) { return make(truth(e, s), s); };
}

class NodeScoreTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new fs::path(fresh_dir());
    make_folder(*root_ / "tanks", DESCRIPTION, rows_csv());
  }
  static void TearDownTestSuite() {
    fs::remove_all(*root_);
    delete root_;
  }

  Json scored(const Json& body) {
    const node_app::Reply reply = service.score_rollouts(body.dump());
    EXPECT_EQ(reply.status, 200) << reply.body;
    return Json::parse(reply.body);
  }

  static fs::path* root_;
  Service service{Catalog::load(*root_)};
};
fs::path* NodeScoreTest::root_ = nullptr;

TEST(NodeShiftTest, AShiftMostSensorsShareAndNoneOpposesIsTheReplays) {
  using node_app::SharedShift;
  const struct {
    std::vector<std::ptrdiff_t> lags;
    std::optional<SharedShift> shift;
  } cases[] = {
      {{}, std::nullopt},
      {{0, 0, 0}, std::nullopt},
      {{2}, SharedShift{2, 1}},
      {{1, 1}, SharedShift{1, 2}},
      {{1, 0}, std::nullopt},
      // A sensor recorded with a delay of its own keeps it when the replay shifts the others.
      {{1, 1, 0}, SharedShift{1, 2}},
      {{-2, 0, -2}, SharedShift{-2, 2}},
      {{1, 1, -1}, std::nullopt},
      {{1, 2, 1, 2}, std::nullopt},
      {{3, 3, 3, 1}, SharedShift{3, 3}},
  };
  for (const auto& c : cases) {
    const std::vector<std::ptrdiff_t>& lags = c.lags;
    EXPECT_EQ(node_app::shared_shift(lags), c.shift) << ::testing::PrintToString(lags);
  }
}

TEST_F(NodeScoreTest, HintsNameADelayAnOffsetAndAWrongAmplitude) {
  const struct {
    const char* name;
    Sim sim;
    std::vector<std::ptrdiff_t> lags;
    std::vector<std::string> hints;
  } cases[] = {
      {"a perfect sim", each_sensor([](const auto& t, auto) { return t; }), {0, 0}, {}},
      {"actions one row late",
       each_sensor([](const auto& t, auto) { return shifted(t, 1); }),
       {1, 1},
       {"every scored sensor of the sim trails the recording by 1 row: are the actions applied 1 row late? "
        "The "
        "Step that yields row k must apply row k's recorded actions"}},
      {"two rows late",
       each_sensor([](const auto& t, auto) { return shifted(t, 2); }),
       {2, 2},
       {"every scored sensor of the sim trails the recording by 2 rows: are the actions applied 2 rows late? "
        "The Step that yields row k must apply row k's recorded actions"}},
      {"sensors reported late",
       each_sensor([](const auto& t, auto) { return shifted(t, -2); }),
       {-2, -2},
       {"every scored sensor of the sim leads the recording by 2 rows: do the recorded sensors report 2 rows "
        "late?"}},
      {"one sensor late",
       each_sensor([](const auto& t, std::size_t s) { return shifted(t, s == 0 ? 1 : 0); }),
       {1, 0},
       {}},
      {"an offset and an amplitude",
       each_sensor([](const auto& t, std::size_t s) {
         if (s == 1) return mapped(t, 1, -0.75);
         // Around the mean of all episodes, so that the spread alone is off.
         double mean = 0;
         for (std::size_t e = 0; e < EPISODES; ++e)
           for (const double value : truth(e, 0)) mean += value / static_cast<double>(EPISODES * ROWS);
         return mapped(t, 1.5, -0.5 * mean);
       }),
       {0, 0},
       {"'Tank 1' is off mostly in amplitude: the sim's values vary 1.5 times as much as the recorded ones",
        "'Tank  2' is off mostly by an offset: the sim's values are 0.75 lower on average"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Json answer = scored(score_body(c.sim));
    const Json& diagnostics = answer["diagnostics"];
    EXPECT_EQ(diagnostics["search_lag_rows"], 10);
    ASSERT_EQ(diagnostics["sensors"].size(), 2u);
    for (std::size_t s = 0; s < 2; ++s) EXPECT_EQ(diagnostics["sensors"][s]["lag_rows"], c.lags[s]) << s;
    EXPECT_EQ(diagnostics["hints"], Json(c.hints));
  }
}

TEST_F(NodeScoreTest, ReportsEachSensorsFiguresRounded) {
  const Json answer = scored(score_body(each_sensor(
      [](const auto& t, std::size_t s) { return s == 0 ? shifted(t, 1) : mapped(t, 1, 1.0 / 3); })));
  const Json& sensors = answer["diagnostics"]["sensors"];
  EXPECT_EQ(sensors[0], Json::parse(R"({"key":"a","raw_name":"Tank 1","lag_rows":1,"bias":0.0,"gain":1.0,
                                        "correlation":1.0,"n_rows":177})"));
  EXPECT_EQ(sensors[1]["bias"], 0.333333);
  EXPECT_EQ(sensors[1]["gain"], 1.0);
  EXPECT_EQ(sensors[1]["n_rows"], 180);
  // The score stays the one of the platform's lag window, whatever the diagnostics find.
  EXPECT_EQ(answer["evaluation"]["sensors"][0]["lag_steps"], 1);
  EXPECT_EQ(answer["evaluation"]["sensors"][0]["score_percent"], 100.0);
}

TEST_F(NodeScoreTest, EpisodeScoresShowTheEpisodeThatFitsWorst) {
  constexpr double OFFSET = 0.5;
  const Json answer = scored(score_body(
      [](std::size_t e, std::size_t s) { return mapped(truth(e, s), 1, e == 1 && s == 0 ? OFFSET : 0); }));
  double low = INFINITY, high = -INFINITY;
  for (std::size_t e = 0; e < EPISODES; ++e)
    for (const double value : truth(e, 0)) low = std::min(low, value), high = std::max(high, value);
  const Json& scores = answer["diagnostics"]["episode_scores"];
  ASSERT_EQ(scores.size(), EPISODES);
  EXPECT_EQ(scores[0], Json::parse(R"({"episode":0,"score_percent":100.0})"));
  EXPECT_EQ(scores[1]["episode"], 1);
  EXPECT_NEAR(scores[1]["score_percent"].get<double>(), (100 * (1 - OFFSET / (high - low)) + 100) / 2, 0.005);
  EXPECT_EQ(scores[2]["score_percent"], 100.0);
}

TEST_F(NodeScoreTest, TooFewRowsGiveNoFigures) {
  Json body = score_body(
      each_sensor([](const auto& t, auto) { return std::vector<double>(t.begin(), t.begin() + 3); }));
  const Json answer = scored(body);
  EXPECT_EQ(answer["evaluation"], nullptr);
  for (const Json& sensor : answer["diagnostics"]["sensors"]) {
    EXPECT_EQ(sensor["lag_rows"], nullptr);
    EXPECT_EQ(sensor["bias"], nullptr);
    EXPECT_EQ(sensor["gain"], nullptr);
    EXPECT_EQ(sensor["correlation"], nullptr);
    EXPECT_EQ(sensor["n_rows"], 0);
  }
  for (const Json& episode : answer["diagnostics"]["episode_scores"])
    EXPECT_EQ(episode["score_percent"], nullptr);
  EXPECT_EQ(answer["diagnostics"]["hints"], Json::array());
}

TEST_F(NodeScoreTest, ScoresAsTheAnalysisDoesWithoutRecordingARun) {
  const Sim sim =
      each_sensor([](const auto& t, std::size_t s) { return s ? shifted(t, 2) : mapped(t, 1.1, 0); });
  const Json first = scored(score_body(sim)), second = scored(score_body(sim));
  EXPECT_EQ(first, second);
  EXPECT_EQ(service.runs_kept(), 0u);
  EXPECT_EQ(service.answers_kept(), 0u);

  const node_app::Reply analyzed = service.analyze_rollouts(analyze_body(sim, "run-1").dump());
  ASSERT_EQ(analyzed.status, 200) << analyzed.body;
  const Json analysis = Json::parse(analyzed.body);
  std::vector<std::string> members;
  for (const auto& [key, value] : analysis.items()) members.push_back(key);
  EXPECT_THAT(members, ElementsAre("warnings", "dataset", "simulator_validation", "summary", "diagnostics"));
  members.clear();
  for (const auto& [key, value] : first.items()) members.push_back(key);
  EXPECT_THAT(members, ElementsAre("warnings", "dataset", "evaluation", "summary", "diagnostics"));
  EXPECT_EQ(first["warnings"], analysis["warnings"]);
  EXPECT_EQ(first["dataset"], analysis["simulator_validation"]["dataset"]);
  EXPECT_EQ(first["evaluation"], analysis["simulator_validation"]["evaluation"]);
  EXPECT_EQ(first["summary"], analysis["summary"]);
  EXPECT_EQ(first["diagnostics"], analysis["diagnostics"]);

  // The run is the analysis's alone: scoring again neither meets it nor is refused for another bundle.
  EXPECT_EQ(service.runs_kept(), 1u);
  Json with_ids = score_body(sim);
  with_ids["validation_run_id"] = "run-1";
  with_ids["bundle_content_hash"] = "h2";
  EXPECT_EQ(scored(with_ids), first);
  EXPECT_EQ(service.runs_kept(), 1u);
}

TEST_F(NodeScoreTest, RefusesWhatTheAnalysisRefuses) {
  const Sim perfect = each_sensor([](const auto& t, auto) { return t; });
  const struct {
    const char* pointer;
    std::optional<Json> value;
  } faults[] = {
      {"/dataset_uuid", "nope"},
      {"/dataset_uuid", std::nullopt},
      {"/max_lag_steps", -1},
      {"/sensor_variables", Json::array({"u"})},
      {"/episodes/0/episode", 9},
      {"/episodes/1/episode", 0},
      {"/episodes/0/predictions/a", Json::array()},
      {"/episodes/0/predictions/a/4", "x"},
  };
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.pointer);
    Json score = score_body(perfect), analyze = analyze_body(perfect, "run-refused");
    for (Json* body : {&score, &analyze}) {
      const Json::json_pointer at(fault.pointer);
      if (fault.value)
        (*body)[at] = *fault.value;
      else
        (*body)[at.parent_pointer()].erase(at.back());
    }
    const node_app::Reply by_score = service.score_rollouts(score.dump());
    const node_app::Reply by_analysis = service.analyze_rollouts(analyze.dump());
    EXPECT_GE(by_score.status, 400);
    EXPECT_EQ(by_score.status, by_analysis.status);
    EXPECT_EQ(by_score.body, by_analysis.body);
  }
  EXPECT_EQ(service.score_rollouts("[1]").body, service.analyze_rollouts("[1]").body);
  EXPECT_EQ(service.score_rollouts("{").status, 422);
}

TEST_F(NodeScoreTest, SearchesOnlyAWholeNumberOfRowsFromZeroToAThousand) {
  const Sim late = each_sensor([](const auto& t, auto) { return shifted(t, 2); });
  const struct {
    Json value;
    int status;
    std::string detail;
  } cases[] = {
      {-1, 422, "not -1"},    {1001, 422, "not 1001"},    {2.5, 422, "not floating-point number"},
      {"3", 422, "not text"}, {nullptr, 422, "not null"}, {0, 200, ""},
      {1000, 200, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.dump());
    Json body = score_body(late);
    body["search_lag_rows"] = c.value;
    const node_app::Reply reply = service.score_rollouts(body.dump());
    EXPECT_EQ(reply.status, c.status) << reply.body;
    if (c.status != 200) {
      EXPECT_EQ(Json::parse(reply.body)["detail"],
                "'search_lag_rows' must be a whole number of rows from 0 to 1000, " + c.detail);
      continue;
    }
    const Json answer = Json::parse(reply.body);
    EXPECT_EQ(answer["diagnostics"]["search_lag_rows"], c.value);
    EXPECT_EQ(answer["diagnostics"]["sensors"][0]["lag_rows"], c.value == 0 ? 0 : 2);
  }
}

TEST(NodeScoreHintTest, AnOffsetIsNoDelayOnARisingSeriesOrASine) {
  const fs::path root = fresh_dir();
  std::string rows = "episode,row,r,w,u\n";
  const std::vector<double> rising = ramp(60), wave = sine(60);
  for (std::size_t i = 0; i < rising.size(); ++i)
    rows += "0," + std::to_string(i) + "," + Json(rising[i]).dump() + "," + Json(wave[i]).dump() + ",1\n";
  make_folder(root / "ramp", R"({"id": "ramp-1", "name": "ramp", "columns": [
    {"key": "r", "raw_name": "Level", "role": "sensor"}, {"key": "w", "raw_name": "Wave", "role": "sensor"},
    {"key": "u", "role": "action"}]})",
              rows);
  Service service(Catalog::load(root));
  const auto offset = [](const std::string& by) {
    return "is off mostly by an offset: the sim's values are " + by + " higher on average";
  };
  const std::string trails_2 =
      "every scored sensor of the sim trails the recording by 2 rows: are the actions applied 2 rows late? "
      "The Step that yields row k must apply row k's recorded actions";
  const struct {
    const char* name;
    std::vector<double> rising, wave;
    std::vector<std::ptrdiff_t> lags;
    std::vector<double> biases;
    std::vector<std::string> hints;
  } cases[] = {
      {"an offset",
       mapped(rising, 1, 3),
       mapped(wave, 1, 3),
       {0, 0},
       {3, 3},
       {"'Level' " + offset("3"), "'Wave' " + offset("3")}},
      {"a delay and an offset",
       mapped(shifted(rising, 2), 1, 1),
       mapped(shifted(wave, 2), 1, 1),
       {2, 2},
       {1, 1},
       {trails_2, "'Level' " + offset("1"), "'Wave' " + offset("1")}},
      {"a lead and an offset",
       mapped(shifted(rising, -3), 1, 1),
       mapped(shifted(wave, -3), 1, 1),
       {-3, -3},
       {1, 1},
       {"every scored sensor of the sim leads the recording by 3 rows: do the recorded sensors report 3 rows "
        "late?",
        "'Level' " + offset("1"), "'Wave' " + offset("1")}},
      {"a gain",
       rising,
       mapped(wave, 1.5, 0),
       {0, 0},
       {0, 0.5 * mean(wave)},
       {"'Wave' is off mostly in amplitude: the sim's values vary 1.5 times as much as the recorded ones"}},
      {"a delay", shifted(rising, 2), shifted(wave, 2), {2, 2}, {0, 0}, {trails_2}},
      {"a perfect fit", rising, wave, {0, 0}, {0, 0}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Json body{{"dataset_uuid", "ramp-1"},
                    {"core_sensor_variables", Json::array()},
                    {"sensor_variables", {"r", "w"}},
                    {"action_variables", {"u"}},
                    {"max_lag_steps", 0},
                    {"episodes", {{{"episode", 0}, {"predictions", {{"r", c.rising}, {"w", c.wave}}}}}}};
    const node_app::Reply reply = service.score_rollouts(body.dump());
    ASSERT_EQ(reply.status, 200) << reply.body;
    const Json diagnostics = Json::parse(reply.body)["diagnostics"];
    for (std::size_t s = 0; s < 2; ++s) {
      EXPECT_EQ(diagnostics["sensors"][s]["lag_rows"], c.lags[s]) << s;
      EXPECT_NEAR(diagnostics["sensors"][s]["bias"].get<double>(), c.biases[s], 1e-6) << s;
    }
    EXPECT_EQ(diagnostics["hints"], Json(c.hints));
  }
  fs::remove_all(root);
}

TEST_F(NodeScoreTest, TheServerRoutesTheScoreLikeTheAnalysis) {
  RunningNode node(*root_);
  const NodeAnswer answer =
      node.post("/ml/sim-score-rollouts", score_body(each_sensor([](const auto& t, auto) { return t; })));
  ASSERT_EQ(answer.status, 200) << answer.body;
  EXPECT_EQ(answer.json()["evaluation"]["score_percent"], 100.0);
  const NodeAnswer unknown = node.request("POST", "/ml/sim-score", "{}");
  EXPECT_EQ(unknown.status, 404);
  EXPECT_THAT(unknown.json()["detail"].get<std::string>(), HasSubstr("POST /ml/sim-score-rollouts"));
}

}  // namespace
}  // namespace nalto
