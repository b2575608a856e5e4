#include "sim_server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <thread>

#include "grpc/health/v1/health.grpc.pb.h"

namespace nalto::sims {
namespace {

using grpc::health::v1::HealthCheckRequest;
using grpc::health::v1::HealthCheckResponse;

Json parse(const std::string& text, std::string_view what) {
  try {
    return Json::parse(text);
  } catch (const Json::parse_error& e) {
    throw BadRequest(std::string(what) + " is not JSON: " + e.what());
  }
}

class HealthService : public grpc::health::v1::Health::Service {
 public:
  grpc::Status Check(grpc::ServerContext*, const HealthCheckRequest* request,
                     HealthCheckResponse* answer) override {
    if (!request->service().empty() && request->service() != nalto::sim::v1::Simulator::service_full_name())
      return {grpc::StatusCode::NOT_FOUND, "unknown service " + request->service()};
    // A benchmark compares this moment with the tool's own clock, so it must be the wall clock.
    if (trace_ && !answered_.exchange(true)) {
      timespec now{};
      ::clock_gettime(CLOCK_REALTIME, &now);
      std::cout << "first SERVING answer at " << now.tv_sec * 1'000'000'000LL + now.tv_nsec << std::endl;
    }
    answer->set_status(HealthCheckResponse::SERVING);
    return grpc::Status::OK;
  }

 private:
  const bool trace_ = env_flag("NALTO_SIM_TRACE");
  std::atomic<bool> answered_{false};
};

// The signal handler may only write to a pipe; a thread reads it and stops the server.
int stop_pipe_in = -1;

extern "C" void on_stop_signal(int signal) {
  const int saved = errno;
  const char byte = static_cast<char>(signal);
  [[maybe_unused]] const ssize_t ignored = ::write(stop_pipe_in, &byte, 1);
  errno = saved;
}

struct Endpoint {
  std::string host;
  int port = 0;
};

std::optional<Endpoint> parse_arguments(int argc, char** argv) {
  Endpoint endpoint;
  bool has_host = false, has_port = false;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view option = argv[i], value = argv[i + 1];
    if (option == "--host") {
      endpoint.host = value;
      has_host = true;
    } else if (option == "--port") {
      const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), endpoint.port);
      if (error != std::errc() || end != value.data() + value.size() || endpoint.port < 0 ||
          endpoint.port > 65535)
        return std::nullopt;
      has_port = true;
    } else {
      return std::nullopt;
    }
  }
  if (argc % 2 == 0 || !has_host || !has_port) return std::nullopt;
  return endpoint;
}

std::string unbracketed(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  return std::string(host);
}

std::string address_of(const std::string& host, int port) {
  const std::string bare = unbracketed(host);
  const bool ipv6 = bare.find(':') != std::string::npos;
  return (ipv6 ? "[" + bare + "]" : bare) + ":" + std::to_string(port);
}

}  // namespace

template <class Body>
grpc::Status JsonSimulator::answer(Body&& body) {
  try {
    const std::lock_guard lock(mutex_);
    body();
    return grpc::Status::OK;
  } catch (const BadRequest& e) {
    return {grpc::StatusCode::INVALID_ARGUMENT, e.what()};
  } catch (const std::exception& e) {
    return {grpc::StatusCode::INTERNAL, e.what()};
  }
}

grpc::Status JsonSimulator::Init(grpc::ServerContext*, const nalto::sim::v1::Empty*, nalto::sim::v1::Empty*) {
  return grpc::Status::OK;
}

grpc::Status JsonSimulator::Make(grpc::ServerContext*, const nalto::sim::v1::MakeRequest* request,
                                 nalto::sim::v1::Empty*) {
  return answer([&] {
    const Json env_init =
        request->env_init_json().empty() ? Json::object() : parse(request->env_init_json(), "env_init");
    if (!env_init.is_object()) throw BadRequest("env_init must be a JSON object, not " + env_init.dump());
    make(env_init);
  });
}

grpc::Status JsonSimulator::GetMappings(grpc::ServerContext*, const nalto::sim::v1::Empty*,
                                        nalto::sim::v1::JsonValue* answer) {
  bool kept = true;
  const grpc::Status status = this->answer([&] {
    const std::optional<Json> found = mappings();
    kept = found.has_value();
    if (kept) answer->set_json(found->dump());
  });
  if (status.ok() && !kept) return {grpc::StatusCode::UNIMPLEMENTED, "this sim keeps no mappings"};
  return status;
}

grpc::Status JsonSimulator::SensorSpaceInfo(grpc::ServerContext*, const nalto::sim::v1::Empty*,
                                            nalto::sim::v1::JsonValue* answer) {
  return this->answer([&] { answer->set_json(sensor_space().dump()); });
}

grpc::Status JsonSimulator::ActionSpaceInfo(grpc::ServerContext*, const nalto::sim::v1::Empty*,
                                            nalto::sim::v1::JsonValue* answer) {
  return this->answer([&] { answer->set_json(action_space().dump()); });
}

grpc::Status JsonSimulator::Reset(grpc::ServerContext*, const nalto::sim::v1::Empty*,
                                  nalto::sim::v1::JsonValue* answer) {
  return this->answer([&] { answer->set_json(reset().dump()); });
}

grpc::Status JsonSimulator::Step(grpc::ServerContext*, const nalto::sim::v1::JsonValue* request,
                                 nalto::sim::v1::JsonValue* answer) {
  return this->answer([&] { answer->set_json(step(parse(request->json(), "the action")).dump()); });
}

grpc::Status JsonSimulator::Close(grpc::ServerContext*, const nalto::sim::v1::Empty*,
                                  nalto::sim::v1::Empty*) {
  return grpc::Status::OK;
}

bool env_flag(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && std::string_view(value) == "1";
}

double number(const Json& value, std::string_view what) {
  if (!value.is_number()) throw BadRequest(std::string(what) + " must be a number, not " + value.dump());
  return value.get<double>();
}

bool is_loopback(std::string_view host) {
  std::string text = unbracketed(host);
  std::string lower = text;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if (lower == "localhost") return true;
  in_addr v4{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return ::inet_pton(AF_INET6, text.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

int serve(int argc, char** argv, JsonSimulator& simulator, const ServeOptions& options) {
  const std::optional<Endpoint> endpoint = parse_arguments(argc, argv);
  if (!endpoint) {
    std::cerr << "usage: " << argv[0] << " --host HOST --port PORT" << std::endl;
    return 2;
  }
  if (!is_loopback(endpoint->host)) {
    std::cerr << options.label << ": refusing to serve on '" << endpoint->host
              << "': only a loopback host (localhost, 127.0.0.0/8, ::1) is allowed" << std::endl;
    return 2;
  }

  int stop_pipe[2];
  if (::pipe2(stop_pipe, O_CLOEXEC) != 0) {
    std::cerr << options.label << ": cannot make a pipe: " << std::strerror(errno) << std::endl;
    return 1;
  }
  stop_pipe_in = stop_pipe[1];
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  ::sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  if (options.stop_on_sigterm) ::sigaction(SIGTERM, &action, nullptr);

  const std::string address = address_of(endpoint->host, endpoint->port + options.port_offset);
  HealthService health;
  grpc::ServerBuilder builder;
  int bound_port = 0;
  builder.AddListeningPort(address, grpc::InsecureServerCredentials(), &bound_port);
  // Another server on the same port must be an error, not a silent share.
  builder.AddChannelArgument(GRPC_ARG_ALLOW_REUSEPORT, 0);
  builder.RegisterService(&simulator);
  if (options.health) builder.RegisterService(&health);
  const std::unique_ptr<grpc::Server> server = builder.BuildAndStart();
  if (!server || bound_port == 0) {
    std::cerr << options.label << ": cannot serve on " << address << std::endl;
    return 1;
  }
  std::cout << options.label << ": serving on " << endpoint->host << ":" << bound_port << std::endl;

  std::thread stopper([&] {
    char signal = 0;
    while (::read(stop_pipe[0], &signal, 1) < 0 && errno == EINTR) {
    }
    if (options.on_stop) options.on_stop();
    // A call that is still running (a Step that never ends) is cancelled after this grace period.
    server->Shutdown(std::chrono::system_clock::now() + std::chrono::milliseconds(100));
  });
  server->Wait();
  stopper.join();
  return 0;
}

}  // namespace nalto::sims
