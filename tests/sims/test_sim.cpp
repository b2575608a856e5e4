// A sim for the runtime's tests, which misbehaves as NALTO_TEST_SIM_MODE says:
//   crash-at-start  prints a few lines to stdout and stderr, then exits with 3 before serving
//   hang-in-step    serves, but a Step never answers until the call is cancelled or the sim stopped
//   hang-in-make, hang-in-close  the same for Make, or for Close
//   ignore-term     ignores SIGTERM and leaves a grandchild "sleep 1000" in its process group, whose
//                   pid it prints as "grandchild <pid>"
//   hang-ignore-term  both: a Step never answers, and SIGTERM is ignored, with the grandchild
//   slow-start      sleeps NALTO_TEST_SIM_DELAY_MS milliseconds before serving
//   no-health       serves the sim service but not the health service
//   wrong-port      listens on the port after the one it was given
//   short-reset     Reset answers [obs] alone
//   not-json        Step answers text that is not JSON
//   nan-observation Step answers an observation holding NaN, as Python's json.dumps writes it, from
//                   step NALTO_TEST_SIM_NAN_FROM on (1 when unset)
//   raise-in-step   Step prints a traceback on stderr and fails, as a Python sim that raised does
//   bad-values      observations above the space's high, and terminated as a text
//   bad-mapping     mappings whose sensor slot is not in the observation and whose action slot is
//                   not in the action
//   noisy           the sensor adds random noise, so a replay differs
//   deep-reset      Reset answers an observation nested 30,000 deep
//   deep-info       Step answers an info {"a": <nested 60,000 deep>, "b": 1}
//   deep-mappings   GetMappings answers mappings nested 30,000 deep
//   huge-number     Step answers an observation [1e400], beyond a double's range
//   (unset)         a well-behaved sim whose one sensor echoes the last action
// Without mappings of its own, its spaces name their leaves.

#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "sim_server.hpp"

extern char** environ;

namespace nalto::sims {
namespace {

class EchoSim : public JsonSimulator {
 public:
  explicit EchoSim(std::string_view mode) : mode_(mode) {}

  grpc::Status Make(grpc::ServerContext* context, const nalto::sim::v1::MakeRequest* request,
                    nalto::sim::v1::Empty* answer) override {
    if (mode_ != "hang-in-make") return JsonSimulator::Make(context, request, answer);
    return hang(context);
  }

  grpc::Status Close(grpc::ServerContext* context, const nalto::sim::v1::Empty* request,
                     nalto::sim::v1::Empty* answer) override {
    if (mode_ != "hang-in-close") return JsonSimulator::Close(context, request, answer);
    return hang(context);
  }

  grpc::Status Step(grpc::ServerContext* context, const nalto::sim::v1::JsonValue* request,
                    nalto::sim::v1::JsonValue* answer) override {
    if (mode_ == "not-json") {
      answer->set_json("<html>the sim is busy</html>");
      return grpc::Status::OK;
    }
    if (mode_ == "raise-in-step") {
      std::cerr << "Traceback (most recent call last):\n  File \"sim.py\", line 7, in Step\n"
                << "ZeroDivisionError: division by zero" << std::endl;
      return grpc::Status(grpc::StatusCode::UNKNOWN, "Exception calling application: division by zero");
    }
    if (mode_ == "nan-observation" && ++steps_ >= nan_from()) {
      answer->set_json(R"([[NaN], 0.0, false, false, {}])");
      return grpc::Status::OK;
    }
    if (mode_ == "huge-number") {
      answer->set_json(R"([[1e400], 0.0, false, false, {}])");
      return grpc::Status::OK;
    }
    if (mode_ == "deep-info") {
      answer->set_json(R"([[0.0], 0.0, false, false, {"a": )" + nested(60000) + R"(, "b": 1}])");
      return grpc::Status::OK;
    }
    if (mode_ != "hang-in-step" && mode_ != "hang-ignore-term")
      return JsonSimulator::Step(context, request, answer);
    return hang(context);
  }

  // Written as text: a value this deep would overflow the stack of whatever walks it, ours included.
  grpc::Status Reset(grpc::ServerContext* context, const nalto::sim::v1::Empty* request,
                     nalto::sim::v1::JsonValue* answer) override {
    if (mode_ != "deep-reset") return JsonSimulator::Reset(context, request, answer);
    answer->set_json("[" + nested(30000) + ", {}]");
    return grpc::Status::OK;
  }
  grpc::Status GetMappings(grpc::ServerContext* context, const nalto::sim::v1::Empty* request,
                           nalto::sim::v1::JsonValue* answer) override {
    if (mode_ != "deep-mappings") return JsonSimulator::GetMappings(context, request, answer);
    answer->set_json(R"({"sensor_space": {"mappings": )" + nested(30000) + "}}");
    return grpc::Status::OK;
  }

 protected:
  void make(const Json&) override { last_ = 0.0; }
  std::optional<Json> mappings() const override {
    if (mode_ != "bad-mapping") return std::nullopt;
    return Json{{"sensor_space", {{"mappings", {{{"name", "[5]"}, {"name_mapped", "Echo"}}}}}},
                {"action_space", {{"mappings", {{{"name", "['value']"}, {"name_mapped", "Value"}}}}}}};
  }
  Json sensor_space() const override { return box("Echo"); }
  Json action_space() const override { return box("Value"); }
  Json reset() override {
    last_ = 0.0;
    if (mode_ == "short-reset") return Json::array({Json::array({last_})});
    return Json::array({observation(), Json::object()});
  }
  Json step(const Json& action) override {
    if (!action.is_array() || action.size() != 1)
      throw BadRequest("the action must be a list of one number, not " + action.dump());
    last_ = number(action[0], "the action's value");
    const Json terminated = mode_ == "bad-values" ? Json("no") : Json(false);
    return Json::array({observation(), 0.0, terminated, false, Json::object()});
  }

 private:
  static grpc::Status hang(grpc::ServerContext* context) {
    while (!context->IsCancelled()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return grpc::Status::CANCELLED;
  }
  static long nan_from() {
    const char* from = std::getenv("NALTO_TEST_SIM_NAN_FROM");
    return from ? std::atol(from) : 1;
  }

  static std::string nested(std::size_t depth) {
    return std::string(depth, '[') + "0" + std::string(depth, ']');
  }

  static Json box(const std::string& name) {
    return {{"type", "box"}, {"shape", {1}},       {"low", -HIGH},
            {"high", HIGH},  {"dtype", "float64"}, {"names", {name}}};
  }

  Json observation() {
    if (mode_ == "bad-values") return Json::array({2 * HIGH});
    if (mode_ == "noisy") return Json::array({last_ + std::uniform_real_distribution<double>(0, 1)(noise_)});
    return Json::array({last_});
  }

  static constexpr double HIGH = 1e6;
  const std::string mode_;
  double last_ = 0.0;
  long steps_ = 0;
  std::mt19937 noise_{std::random_device{}()};
};

const std::set<std::string_view> KNOWN_MODES = {"",
                                                "hang-in-step",
                                                "hang-in-make",
                                                "hang-in-close",
                                                "no-health",
                                                "wrong-port",
                                                "short-reset",
                                                "not-json",
                                                "bad-values",
                                                "bad-mapping",
                                                "noisy",
                                                "nan-observation",
                                                "raise-in-step",
                                                "deep-reset",
                                                "deep-info",
                                                "deep-mappings",
                                                "huge-number"};

int run(int argc, char** argv) {
  const char* set_mode = std::getenv("NALTO_TEST_SIM_MODE");
  const std::string_view mode = set_mode ? set_mode : "";
  if (mode == "crash-at-start") {
    std::cout << "test sim: loading the model" << std::endl;
    std::cerr << "test sim: the model is broken" << std::endl;
    std::cout << "test sim: giving up" << std::endl;
    std::cerr << "test sim: exit 3" << std::endl;
    return 3;
  }
  if (mode == "slow-start") {
    const char* delay = std::getenv("NALTO_TEST_SIM_DELAY_MS");
    std::this_thread::sleep_for(std::chrono::milliseconds(delay ? std::atoll(delay) : 0));
  } else if (mode == "ignore-term" || mode == "hang-ignore-term") {
    ::signal(SIGTERM, SIG_IGN);
    // The grandchild inherits the ignored SIGTERM, so only a SIGKILL of the group ends it.
    char sleep_name[] = "sleep", seconds[] = "1000";
    char* sleep_argv[] = {sleep_name, seconds, nullptr};
    pid_t grandchild = 0;
    if (::posix_spawnp(&grandchild, "sleep", nullptr, nullptr, sleep_argv, environ) != 0) {
      std::cerr << "test sim: cannot start sleep" << std::endl;
      return 1;
    }
    std::cout << "grandchild " << grandchild << std::endl;
  } else if (!KNOWN_MODES.contains(mode)) {
    std::cerr << "test sim: unknown NALTO_TEST_SIM_MODE '" << mode << "'" << std::endl;
    return 2;
  }
  EchoSim sim(mode);
  return serve(argc, argv, sim,
               {.label = "test sim",
                .stop_on_sigterm = mode != "ignore-term" && mode != "hang-ignore-term",
                .health = mode != "no-health",
                .port_offset = mode == "wrong-port" ? 1 : 0});
}

}  // namespace
}  // namespace nalto::sims

int main(int argc, char** argv) {
  return nalto::sims::run(argc, argv);
}
