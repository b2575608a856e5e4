#include <gmock/gmock.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "grpc/health/v1/health.grpc.pb.h"
#include "nalto/runtime/grpc_sim_runtime.hpp"
#include "nalto/support/async.hpp"
#include "sim.grpc.pb.h"
#include "support/fixtures.hpp"

namespace nalto {
namespace {

namespace pb = nalto::sim::v1;
using ::testing::HasSubstr;
using testing::Loop;
using HealthStatus = grpc::health::v1::HealthCheckResponse;

// What a scripted method answers: a status and, when it is OK, the JSON text.
struct Answer {
  grpc::Status status = grpc::Status::OK;
  std::string json;
};

// A sim served in this process, each method answering what the test scripts.
class ScriptedSim : public pb::Simulator::Service, public grpc::health::v1::Health::Service {
 public:
  std::function<Answer(const std::string& method, const std::string& request)> answer =
      [](const std::string&, const std::string& request) {
        return Answer{grpc::Status::OK, request};
      };
  std::function<HealthStatus::ServingStatus()> health = [] { return HealthStatus::SERVING; };
  pb::MakeRequest made;
  std::atomic<bool> step_hangs{false}, step_cancelled{false};

  ScriptedSim() {
    grpc::ServerBuilder builder;
    builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port_);
    builder.RegisterService(static_cast<pb::Simulator::Service*>(this));
    builder.RegisterService(static_cast<grpc::health::v1::Health::Service*>(this));
    server_ = builder.BuildAndStart();
  }
  ~ScriptedSim() override { stop(); }

  void stop() {
    if (server_) server_->Shutdown(std::chrono::system_clock::now());
  }
  std::string address() const { return "localhost:" + std::to_string(port_); }

  grpc::Status Init(grpc::ServerContext*, const pb::Empty*, pb::Empty*) override { return grpc::Status::OK; }
  grpc::Status Make(grpc::ServerContext*, const pb::MakeRequest* request, pb::Empty*) override {
    made = *request;
    return grpc::Status::OK;
  }
  grpc::Status GetMappings(grpc::ServerContext*, const pb::Empty*, pb::JsonValue* reply) override {
    return respond("GetMappings", "", reply);
  }
  grpc::Status Reset(grpc::ServerContext*, const pb::Empty*, pb::JsonValue* reply) override {
    return respond("Reset", "", reply);
  }
  grpc::Status Step(grpc::ServerContext* context, const pb::JsonValue* request,
                    pb::JsonValue* reply) override {
    if (step_hangs) {
      for (int i = 0; i < 5000 && !context->IsCancelled(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      step_cancelled = context->IsCancelled();
      return grpc::Status::CANCELLED;
    }
    return respond("Step", request->json(), reply);
  }
  grpc::Status Check(grpc::ServerContext*, const grpc::health::v1::HealthCheckRequest*,
                     HealthStatus* reply) override {
    reply->set_status(health());
    return grpc::Status::OK;
  }

 private:
  int port_ = 0;
  std::unique_ptr<grpc::Server> server_;

  grpc::Status respond(const std::string& method, const std::string& request, pb::JsonValue* reply) {
    const Answer a = answer(method, request);
    reply->set_json(a.json);
    return a.status;
  }
};

struct ClientFixture : ::testing::Test {
  Loop loop;
  ScriptedSim sim;
  runtime::GrpcSimRuntime runtime;
  std::unique_ptr<outside::SimClient> client =
      runtime.client_make({.run_id = "run-1",
                           .sim_id = "sim-2",
                           .env_id = "env-3",
                           .address = sim.address(),
                           .env_init = Json{{"speed", 2.5}, {"sim_address", sim.address()}},
                           .protocol = "grpc"});

  void connect() {
    loop.run([](outside::SimClient& c) -> asio::awaitable<void> {
      co_await c.init();
      co_await c.make();
    }(*client));
  }
  Json call(std::function<asio::awaitable<Json>()> f) { return loop.run(f()); }
};

TEST_F(ClientFixture, ValuesTravelBothWaysAsJson) {
  connect();
  EXPECT_EQ(sim.made.run_id(), "run-1");
  EXPECT_EQ(sim.made.sim_id(), "sim-2");
  EXPECT_EQ(sim.made.env_id(), "env-3");
  EXPECT_EQ(parse_json(sim.made.env_init_json()), (Json{{"speed", 2.5}, {"sim_address", sim.address()}}));

  sim.answer = [](const std::string& method, const std::string& request) {
    if (method == "Reset") return Answer{grpc::Status::OK, R"([[1, 2.0], {"k": null}])"};
    return Answer{grpc::Status::OK, R"([)" + request + R"(, 0.5, false, true, {}])"};
  };
  EXPECT_EQ(call([&] { return client->reset(); }), parse_json(R"([[1, 2.0], {"k": null}])"));
  const Json answer = call([&] { return client->step(Json{{"a", {3, 4.0}}}); });
  EXPECT_EQ(answer, parse_json(R"([{"a": [3, 4.0]}, 0.5, false, true, {}])"));
  EXPECT_TRUE(answer[0]["a"][0].is_number_integer());
  EXPECT_TRUE(answer[0]["a"][1].is_number_float());
}

TEST_F(ClientFixture, FailedCallsAndBadJsonRaiseTheirErrors) {
  struct Case {
    Answer answer;
    std::string type, message;
  };
  const std::vector<Case> cases = {
      {{grpc::Status(grpc::StatusCode::UNIMPLEMENTED, "no mappings kept"), ""},
       "SimCallError",
       "UNIMPLEMENTED: no mappings kept"},
      {{grpc::Status(grpc::StatusCode::INTERNAL, ""), ""}, "SimCallError", "INTERNAL"},
      {{grpc::Status::OK, R"({"sensor_space": )"}, "JSONDecodeError", ""},
  };
  connect();
  for (const Case& c : cases) {
    sim.answer = [&c](const std::string&, const std::string&) { return c.answer; };
    try {
      call([&] { return client->get_mappings(); });
      ADD_FAILURE() << c.type << " expected";
    } catch (const Error& e) {
      EXPECT_EQ(e.type_name(), c.type);
      if (!c.message.empty()) {
        EXPECT_EQ(std::string(e.what()), c.message);
      }
    }
  }
}

TEST_F(ClientFixture, CallsBeforeInitOrToAGoneSimFail) {
  EXPECT_THROW(call([&] { return client->reset(); }), SimCallError);
  connect();
  sim.stop();
  try {
    call([&] { return client->reset(); });
    ADD_FAILURE() << "a gone sim answered";
  } catch (const SimCallError& e) {
    EXPECT_THAT(e.what(), HasSubstr("UNAVAILABLE"));
  }
}

TEST_F(ClientFixture, ATimedOutCallIsCancelledAtTheSimAndTheClientGoesOn) {
  connect();
  sim.step_hangs = true;
  EXPECT_THROW(call([&] { return with_timeout(client->step(Json::array({1})), 0.1); }), TimeoutError);
  // The sim learns of the cancellation a moment after the client has.
  for (int i = 0; i < 200 && !sim.step_cancelled; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(sim.step_cancelled);
  sim.step_hangs = false;
  EXPECT_EQ(call([&] { return client->step(Json::array({2})); }), Json::array({2}));
}

TEST(CheckServingTest, ASimThatDoesNotAnswerGetsNoPortHint) {
  Loop loop;
  runtime::GrpcSimRuntime runtime;
  ScriptedSim sim;
  sim.health = [] { return HealthStatus::NOT_SERVING; };
  try {
    loop.run(runtime.check_serving(sim.address(), 0.3), std::chrono::seconds(5));
    ADD_FAILURE() << "a sim that never served passed";
  } catch (const TimeoutError& e) {
    EXPECT_EQ(std::string(e.what()), "the sim at " + sim.address() + " did not serve within 0.3 s");
  }
}

TEST(CheckServingTest, ReturnsOnceTheSimServesAndTimesOutOtherwise) {
  Loop loop;
  runtime::GrpcSimRuntime runtime;
  ScriptedSim sim;
  int asked = 0;
  sim.health = [&asked] { return ++asked < 3 ? HealthStatus::NOT_SERVING : HealthStatus::SERVING; };
  loop.run(runtime.check_serving(sim.address(), 5));
  EXPECT_EQ(asked, 3);

  const std::string nobody = "localhost:" + std::to_string(runtime.get_free_port());
  try {
    loop.run(runtime.check_serving(nobody, 0.3), std::chrono::seconds(5));
    ADD_FAILURE() << "nobody served";
  } catch (const TimeoutError& e) {
    const std::string port = nobody.substr(nobody.rfind(':') + 1);
    EXPECT_EQ(std::string(e.what()),
              "the sim at " + nobody + " did not serve within 0.3 s; nothing listened on port " + port +
                  ", the port it was given with --port: a sim must listen on that port");
  }
}

}  // namespace
}  // namespace nalto
