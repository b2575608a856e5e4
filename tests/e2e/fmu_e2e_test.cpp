// FMUs as sims through the real CLI: `--path X.fmu` starts our FMU host beside `nalto`; the example FMU
// is validated, scored and calibrated against the reference node on the dataset recorded from it with
// other parameters, and the host's failures reach the user.

#ifdef NALTO_EXE

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "nalto/support/json.hpp"
#include "support/non_regular_files.hpp"
#include "support/subprocess.hpp"

namespace nalto {
namespace {

namespace fs = std::filesystem;
using testing::exited;
using testing::Ran;
using testing::Subprocess;

const std::string EXAMPLE = std::string(NALTO_EXAMPLE_FMUS_DIR) + "/mass-spring-damper.fmu";
const std::string FMUS = NALTO_TEST_FMUS_DIR;
const std::string DATASET = "mass-spring-damper-demo";
constexpr const char* TOKEN = "fmu-e2e-token";
// What the dataset was recorded with (examples/fmus/record_dataset.cpp); the FMU's own are 4 and 0.4.
constexpr double STIFFNESS = 6.5, DAMPING = 0.9;

Ran nalto(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
  args.insert(args.begin(), NALTO_EXE);
  Ran ran = testing::run(args, std::chrono::seconds(50), env);
  if (!ran.exit) ADD_FAILURE() << "the CLI did not end within 50 s; stderr:\n" << ran.err;
  return ran;
}

class FmuEndToEnd : public ::testing::Test {
 protected:
  FmuEndToEnd() {
    node_.emplace(
        std::vector<std::string>{NALTO_COMPUTE_NODE_EXE, "--datasets",
                                 std::string(NALTO_SOURCE_DIR) + "/examples/fmus/datasets", "--port", "0"},
        std::map<std::string, std::string>{{"NALTO_COMPUTE_TOKEN", TOKEN}});
    env_ = {{"NALTO_COMPUTE_URL", testing::node_url(*node_)}, {"NALTO_COMPUTE_TOKEN", TOKEN}};
  }

  testing::TempFolder folder_;
  std::optional<Subprocess> node_;
  std::map<std::string, std::string> env_;
};

TEST_F(FmuEndToEnd, TheExampleFmuValidatesScoresAndCalibratesToTheRecordedParameters) {
  const Ran validate = nalto({"sim", "validate", "--path", EXAMPLE, "--dataset", DATASET}, env_);
  ASSERT_EQ(validate.exit, exited(0)) << validate.out << validate.err;
  EXPECT_NE(validate.out.find("Mappings: 2 sensors, 1 action"), std::string::npos) << validate.out;
  EXPECT_NE(validate.out.find("'position'"), std::string::npos) << validate.out;

  const Ran score = nalto({"sim", "score", "--path", EXAMPLE, "--dataset", DATASET, "--json", "-"}, env_);
  ASSERT_EQ(score.exit, exited(0)) << score.err;
  EXPECT_EQ(Json::parse(score.out).at("sensors").size(), 2u) << score.out;

  // From the FMU's own values, as a user starts.
  const fs::path out = folder_ / "calibrated.json", summary = folder_ / "summary.json";
  const Ran calibrate = nalto({"sim",
                               "calibrate",
                               "--path",
                               EXAMPLE,
                               "--dataset",
                               DATASET,
                               "--env-init",
                               R"({"parameters": {"stiffness": 4, "damping": 0.4}})",
                               "--param",
                               "parameters.stiffness=2..12",
                               "--param",
                               "parameters.damping=0.1..3",
                               "--budget",
                               "24",
                               "--jobs",
                               "2",
                               "--max-episodes",
                               "4",
                               "--holdout",
                               "0",
                               "--out",
                               out.string(),
                               "--json",
                               summary.string()},
                              env_);
  ASSERT_EQ(calibrate.exit, exited(0)) << calibrate.err;
  std::ifstream written(out);
  const Json env_init = Json::parse(written);
  EXPECT_NEAR(env_init.at("parameters").at("stiffness").get<double>(), STIFFNESS, 0.03 * STIFFNESS)
      << env_init;
  EXPECT_NEAR(env_init.at("parameters").at("damping").get<double>(), DAMPING, 0.08 * DAMPING) << env_init;
  std::ifstream summary_file(summary);
  const Json fit = Json::parse(summary_file).at("fit");
  EXPECT_GT(fit.at("after").get<double>(), 99.5) << fit;
  EXPECT_LT(fit.at("before").get<double>(), 90.0) << fit;
}

TEST(FmuHostEndToEnd, AHangingDoStepIsStoppedByTheCallLimitAndLeavesNothingBehind) {
  testing::TempFolder tmp;
  const auto started = std::chrono::steady_clock::now();
  const Ran ran =
      nalto({"sim", "validate", "--path", FMUS + "/lag-hang.fmu", "--steps", "5", "--call-timeout", "0.5"},
            {{"TMPDIR", tmp.path().string()}});
  EXPECT_EQ(ran.exit, exited(1)) << ran.out << ran.err;
  EXPECT_NE(ran.out.find("Step 2: no answer within the call timeout of 0.5 s"), std::string::npos) << ran.out;
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
  EXPECT_TRUE(fs::is_empty(tmp.path())) << "the unpacked FMU was left behind";
}

TEST(FmuHostEndToEnd, TheHostIsFoundBesideNaltoOrWhereTheVariableSays) {
  const Ran beside = nalto({"sim", "validate", "--path", FMUS + "/lag.fmu", "--steps", "12"});
  EXPECT_EQ(beside.exit, exited(0)) << beside.out << beside.err;

  const Ran chosen = nalto({"sim", "validate", "--path", FMUS + "/lag.fmu", "--steps", "2"},
                           {{"NALTO_FMU_SIM", NALTO_FMU_SIM_EXE}});
  EXPECT_EQ(chosen.exit, exited(0)) << chosen.out << chosen.err;

  const Ran missing =
      nalto({"sim", "validate", "--path", FMUS + "/lag.fmu"}, {{"NALTO_FMU_SIM", "/nowhere/host"}});
  EXPECT_EQ(missing.exit, exited(1));
  EXPECT_NE(
      missing.err.find("The sim did not start: " + FMUS +
                       "/lag.fmu is an FMU, but NALTO_FMU_SIM names /nowhere/host, which is no executable"),
      std::string::npos)
      << missing.err;
}

TEST(FmuHostEndToEnd, AFailingDoStepShowsTheCallTheStatusAndTheFmusMessages) {
  const Ran ran = nalto({"sim", "validate", "--path", FMUS + "/lag-step-error.fmu", "--steps", "5"});
  EXPECT_EQ(ran.exit, exited(1));
  EXPECT_NE(
      ran.out.find("Step 2: the call failed: INTERNAL: the FMU's fmi2DoStep (from t = 0.1 by 0.1 s) answered "
                   "fmi2Error; its messages:\n  fmi2Error [logStatusError] the solver diverged at t = 0.1"),
      std::string::npos)
      << ran.out;
}

}  // namespace
}  // namespace nalto

#endif
