// The FMU host's own cost per Step over a direct loop calling doStep on the same FMU, with the gRPC round
// trip set aside: the host's Step is called as the gRPC server calls it (the action's JSON text parsed,
// the inputs set, doStep, the outputs read, the answer's JSON text written), the direct loop sets the
// inputs, calls doStep and reads the outputs through the FMI functions alone. Medians of 7 runs.

#include <grpcpp/grpcpp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fmu_sim.hpp"

namespace {

using nalto::fmu::Json;
using Clock = std::chrono::steady_clock;

constexpr int RUNS = 7;

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct Case {
  const char* label;
  std::string fmu;
  Json env_init;
  Json action;
  int steps;
};

// ns per step of the bare FMI loop.
double direct(const Case& c) {
  const nalto::fmu::UnpackedFmu unpacked(c.fmu);
  const auto md = nalto::fmu::read_model_description(unpacked.folder() + "/modelDescription.xml");
  const nalto::fmu::Library library(unpacked.folder(), md);
  const nalto::fmu::Signals inputs(md, "input"), outputs(md, "output");
  const nalto::fmu::Values in = inputs.from_json(c.action);
  const double h = nalto::fmu::step_size(md, c.env_init);
  std::vector<double> runs;
  for (int run = 0; run < RUNS; ++run) {
    nalto::fmu::Instance instance(library, md, nalto::fmu::resources_uri(unpacked.folder()), false);
    instance.setup_experiment(std::nullopt, 0.0, std::nullopt);
    instance.enter_initialization_mode();
    instance.exit_initialization_mode();
    nalto::fmu::Values out;
    double time = 0.0, sink = 0.0;
    const auto start = Clock::now();
    for (int i = 0; i < c.steps; ++i) {
      instance.set_real(inputs.reals, in.reals);
      instance.set_boolean(inputs.booleans, in.booleans);
      instance.do_step(time, h);
      time += h;
      instance.get_real(outputs.reals, out.reals);
      instance.get_integer(outputs.integers, out.integers);
      instance.get_boolean(outputs.booleans, out.booleans);
      sink += out.reals[0];
    }
    runs.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() / c.steps);
    if (sink == 12345.678) std::puts("");
  }
  return median(runs);
}

// ns per step of the host's Step as the server calls it.
double hosted(const Case& c) {
  nalto::fmu::FmuSimulator sim(c.fmu);
  nalto::sim::v1::MakeRequest make;
  make.set_env_init_json(c.env_init.dump());
  grpc::ServerContext context;
  nalto::sim::v1::Empty empty;
  sim.Make(&context, &make, &empty);
  nalto::sim::v1::JsonValue request, answer;
  request.set_json(c.action.dump());
  std::vector<double> runs;
  for (int run = 0; run < RUNS; ++run) {
    sim.Reset(&context, &empty, &answer);
    const auto start = Clock::now();
    for (int i = 0; i < c.steps; ++i)
      if (!sim.Step(&context, &request, &answer).ok()) return -1;
    runs.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() / c.steps);
  }
  return median(runs);
}

}  // namespace

int main() {
  const std::string example = NALTO_EXAMPLE_FMUS_DIR "/mass-spring-damper.fmu";
  const std::vector<Case> cases = {
      {"first-order lag (3 outputs, 2 inputs, tuples)", NALTO_TEST_FMUS_DIR "/lag.fmu",
       R"({"step_size": 1e-6})"_json, R"([[0.5], 0])"_json, 200000},
      {"mass-spring-damper, 0.05 s a step (50 RK4 sub-steps)", example, Json::object(), R"([1.5])"_json,
       20000},
      {"mass-spring-damper, 0.5 s a step (500 RK4 sub-steps)", example, R"({"step_size": 0.5})"_json,
       R"([1.5])"_json, 2000},
  };
  std::printf("%-56s %12s %12s %8s\n", "FMU", "direct ns", "host ns", "ratio");
  for (const Case& c : cases) {
    const double bare = direct(c), host = hosted(c);
    std::printf("%-56s %12.0f %12.0f %7.2fx\n", c.label, bare, host, host / bare);
  }
  return 0;
}
