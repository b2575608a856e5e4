#include <arpa/inet.h>
#include <httplib.h>

#include "compute_node.hpp"
#include "nalto/support/hex.hpp"
#include "nalto/support/json.hpp"

namespace nalto::node_app {

namespace {

constexpr const char* JSON_TYPE = "application/json";

void answer(httplib::Response& response, const Reply& reply) {
  response.status = reply.status;
  response.set_content(reply.body, JSON_TYPE);
}

std::string detail(const std::string& text) {
  return dump_json(Json{{"detail", text}});
}

// Compared in full whatever differs, so the answer's timing tells nothing of the token.
bool same_secret(std::string_view given, std::string_view expected) {
  unsigned char difference = given.size() == expected.size() ? 0 : 1;
  for (std::size_t i = 0; i < given.size(); ++i)
    difference |=
        static_cast<unsigned char>(given[i] ^ expected[i % std::max<std::size_t>(expected.size(), 1)]);
  return difference == 0;
}

std::optional<std::string> token_refusal(const httplib::Request& request, const std::string& token) {
  const std::string header = request.get_header_value("Authorization");
  if (header.empty())
    return "this compute node needs its token: set NALTO_COMPUTE_TOKEN to the token it was started with";
  constexpr std::string_view scheme = "bearer ";
  const bool bearer = header.size() >= scheme.size() &&
                      std::equal(scheme.begin(), scheme.end(), header.begin(), [](char a, char b) {
                        return a == std::tolower(static_cast<unsigned char>(b));
                      });
  if (!bearer || !same_secret(std::string_view(header).substr(scheme.size()), token))
    return "the token does not match this compute node's: set NALTO_COMPUTE_TOKEN to the token it was "
           "started with";
  return std::nullopt;
}

std::string status_detail(const httplib::Request& request, int status, std::size_t max_body_bytes) {
  switch (status) {
    case 404:
      return "this compute node has no " + request.method + " " + request.path +
             "; it serves GET /ml/datasets, GET /ml/datasets/<id or name>, GET /ml/dataset-stats/<id or "
             "name>, POST /ml/analysis-actions and POST /ml/sim-analyze-rollouts";
    case 413:
      return "the request body is too large for this compute node: it takes JSON bodies of up to " +
             std::to_string(max_body_bytes / (1024 * 1024)) + " MiB, sent as Content-Type: application/json";
    default:
      return "the request failed with HTTP status " + std::to_string(status);
  }
}

// A request's path is the client's text, a folder's name anyone's: control characters must not reach
// the terminal as such.
std::string printable(const std::string& text) {
  std::string out;
  for (const unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      append_hex(out, c, 2);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

bool is_loopback(const std::string& host) {
  if (host == "localhost") return true;
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  const std::string bare =
      host.size() > 2 && host.front() == '[' && host.back() == ']' ? host.substr(1, host.size() - 2) : host;
  return inet_pton(AF_INET6, bare.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

Server::Server(Catalog catalog, ServerOptions options)
    : service_(std::move(catalog),
               [log = options.log](const std::string& line) {
                 if (log) log(printable(line));
               }),
      options_(std::move(options)),
      http_(std::make_unique<httplib::Server>()) {
  if (options_.token && options_.token->empty()) options_.token.reset();
  httplib::Server& http = *http_;
  http.set_payload_max_length(options_.max_body_bytes);
  // An idle kept-alive connection holds a worker, and a stop waits for it: keep that wait short.
  http.set_keep_alive_timeout(1);

  http.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
    if (!options_.token) return httplib::Server::HandlerResponse::Unhandled;
    const std::optional<std::string> refusal = token_refusal(request, *options_.token);
    if (!refusal) return httplib::Server::HandlerResponse::Unhandled;
    response.set_header("WWW-Authenticate", "Bearer");
    answer(response, {401, detail(*refusal)});
    return httplib::Server::HandlerResponse::Handled;
  });

  http.Get("/ml/datasets", [this](const httplib::Request&, httplib::Response& response) {
    answer(response, service_.datasets());
  });
  http.Get(R"(/ml/dataset-stats/(.+))", [this](const httplib::Request& request, httplib::Response& response) {
    answer(response, service_.dataset_stats(request.matches[1].str()));
  });
  http.Get(R"(/ml/datasets/(.+))", [this](const httplib::Request& request, httplib::Response& response) {
    answer(response, service_.dataset(request.matches[1].str()));
  });
  http.Post("/ml/analysis-actions", [this](const httplib::Request& request, httplib::Response& response) {
    answer(response, service_.analysis_actions(request.body));
  });
  http.Post("/ml/sim-analyze-rollouts", [this](const httplib::Request& request, httplib::Response& response) {
    answer(response, service_.analyze_rollouts(request.body));
  });

  http.set_exception_handler(
      [](const httplib::Request&, httplib::Response& response, std::exception_ptr error) {
        std::string what = "unknown error";
        try {
          std::rethrow_exception(error);
        } catch (const std::exception& e) {
          what = e.what();
        } catch (...) {
        }
        answer(response, {500, detail("the compute node failed: " + what)});
      });
  http.set_error_handler(httplib::Server::HandlerWithResponse([this](const httplib::Request& request,
                                                                     httplib::Response& response) {
    if (!response.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    response.set_content(detail(status_detail(request, response.status, options_.max_body_bytes)), JSON_TYPE);
    return httplib::Server::HandlerResponse::Handled;
  }));
  if (options_.log) {
    http.set_logger([this](const httplib::Request& request, const httplib::Response& response) {
      options_.log(printable(request.method + " " + request.path) + " " + std::to_string(response.status));
    });
  }
}

Server::~Server() {
  stop();
}

int Server::bind(const std::string& host, int port) {
  const int bound = port == 0 ? http_->bind_to_any_port(host) : (http_->bind_to_port(host, port) ? port : -1);
  if (bound <= 0)
    throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port) +
                             " (the address is taken or not this machine's)");
  return bound;
}

void Server::serve() {
  http_->listen_after_bind();
}

void Server::stop() {
  http_->stop();
}

bool Server::running() const {
  return http_->is_running();
}

}  // namespace nalto::node_app
