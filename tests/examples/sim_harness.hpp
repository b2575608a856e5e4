#pragma once

// Starts a sim as the tool does and speaks to it through the generated stubs.

#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "grpc/health/v1/health.grpc.pb.h"
#include "nalto/runtime/process.hpp"
#include "nalto/support/async.hpp"
#include "sim.grpc.pb.h"
#include "support/fixtures.hpp"

namespace nalto::testing {

inline const std::string HEATED_ROOM = NALTO_EXAMPLE_SIMS_DIR "/heated_room/heated-room";
inline const std::string PYTHON_ROOM = NALTO_EXAMPLE_SIMS_DIR "/python_room";
inline const std::string TEST_SIM = NALTO_TEST_SIMS_DIR "/test-sim";

struct Answer {
  grpc::Status status;
  Json value;
};

namespace v1 = nalto::sim::v1;

template <class Request, class Reply>
using Method = grpc::Status (v1::Simulator::Stub::*)(grpc::ClientContext*, const Request&, Reply*);

// A sim started as the tool starts it, with a raw client of the protocol.
struct Sim {
  int port = runtime::free_port();
  std::vector<std::string> lines;
  std::unique_ptr<outside::SimProcess> process;
  std::shared_ptr<grpc::Channel> channel =
      grpc::CreateChannel("localhost:" + std::to_string(port), grpc::InsecureChannelCredentials());
  std::unique_ptr<v1::Simulator::Stub> stub = v1::Simulator::NewStub(channel);

  // Temporaries stay out of the co_await expressions: GCC 12 may destroy them twice.
  asio::awaitable<void> start(std::string path, Json env = Json::object()) {
    std::function<void(std::string)> on_output = [this](std::string line) {
      lines.push_back(std::move(line));
    };
    std::string host = "localhost";
    process = co_await runtime::start_sim_process(std::move(path), std::move(host), port, std::move(env),
                                                  std::move(on_output));
  }

  // Whether a line holding `part` came before the sim exited or 10 s passed.
  asio::awaitable<bool> until_line(std::string part) {
    const auto has = [&] {
      return std::any_of(lines.begin(), lines.end(),
                         [&](const std::string& l) { return l.find(part) != l.npos; });
    };
    for (int i = 0; i < 1000 && !has() && !process->returncode(); ++i) co_await sleep_for(0.01);
    co_return has();
  }

  template <class Request, class Reply>
  grpc::Status invoke(Method<Request, Reply> method, const Request& request, Reply& reply,
                      std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + limit);
    return (stub.get()->*method)(&context, request, &reply);
  }

  Answer ask(Method<v1::Empty, v1::JsonValue> method) {
    v1::JsonValue reply;
    const grpc::Status status = invoke(method, v1::Empty(), reply);
    return {status, status.ok() ? Json::parse(reply.json()) : Json()};
  }

  Answer step(const std::string& action, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    v1::JsonValue request, reply;
    request.set_json(action);
    const grpc::Status status = invoke(&v1::Simulator::Stub::Step, request, reply, limit);
    return {status, status.ok() ? Json::parse(reply.json()) : Json()};
  }

  grpc::Status make(const Json& env_init) {
    v1::MakeRequest request;
    request.set_env_init_json(env_init.dump());
    v1::Empty reply;
    return invoke(&v1::Simulator::Stub::Make, request, reply);
  }

  grpc::Status simple(Method<v1::Empty, v1::Empty> method) {
    v1::Empty reply;
    return invoke(method, v1::Empty(), reply);
  }

  grpc::health::v1::HealthCheckResponse::ServingStatus health() {
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(5));
    grpc::health::v1::HealthCheckResponse reply;
    const grpc::Status status = grpc::health::v1::Health::NewStub(channel)->Check(
        &context, grpc::health::v1::HealthCheckRequest(), &reply);
    EXPECT_TRUE(status.ok()) << status.error_message();
    return reply.status();
  }
};

}  // namespace nalto::testing
