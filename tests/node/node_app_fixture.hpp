#pragma once

// What the reference node's tests share: dataset folders in a temporary folder, the node serving one
// on a loopback port in this process or as its own program, and a client that writes raw bytes to it, as a
// hostile or slow client does.

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "compute_node.hpp"
#include "nalto/support/fd.hpp"
#include "nalto/support/json.hpp"
#include "support/subprocess.hpp"

namespace nalto::testing {

namespace fs = std::filesystem;

inline fs::path make_folder(const fs::path& folder, const std::string& description, const std::string& rows) {
  fs::create_directories(folder);
  std::ofstream(folder / "dataset.json") << description;
  std::ofstream(folder / "rows.csv") << rows;
  return folder;
}

inline fs::path fresh_dir() {
  static int count = 0;
  const fs::path dir = fs::temp_directory_path() /
                       ("nalto-node-test-" + std::to_string(::getpid()) + "-" + std::to_string(++count));
  fs::remove_all(dir);
  return dir;
}

// Named apart from the other test fixtures' answers: two classes of one name in one namespace would
// break the one-definition rule, and the linker would keep one destructor for both.
struct NodeAnswer {
  int status = 0;
  std::string body;
  Json json() const { return Json::parse(body); }
};

// The node on 127.0.0.1:<free port>, serving one folder, for one test; its log lines are kept.
class RunningNode {
 public:
  explicit RunningNode(const fs::path& root, node_app::ServerOptions options = {})
      : server_(node_app::Catalog::load(root), with_log(std::move(options))) {
    port_ = server_.bind("127.0.0.1", 0);
    thread_ = std::thread([this] { server_.serve(); });
    for (int i = 0; i < 5000 && !server_.running(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~RunningNode() {
    server_.stop();
    thread_.join();
  }

  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<std::string> log() const {
    const std::lock_guard lock(log_mutex_);
    return log_;
  }

  NodeAnswer request(const std::string& method, const std::string& path, const std::string& body = {},
                     const httplib::Headers& headers = {},
                     std::chrono::seconds read_timeout = std::chrono::seconds(10)) const {
    httplib::Client client("127.0.0.1", port_);
    client.set_connection_timeout(5);
    client.set_read_timeout(read_timeout);
    const httplib::Result result =
        method == "GET" ? client.Get(path, headers) : client.Post(path, headers, body, "application/json");
    if (!result) throw std::runtime_error("no answer from the node: " + httplib::to_string(result.error()));
    return {result->status, result->body};
  }
  NodeAnswer post(const std::string& path, const Json& body) const {
    return request("POST", path, body.dump());
  }

 private:
  node_app::ServerOptions with_log(node_app::ServerOptions options) {
    options.log = [this](const std::string& line) {
      const std::lock_guard lock(log_mutex_);
      log_.push_back(line);
    };
    return options;
  }

  mutable std::mutex log_mutex_;
  std::vector<std::string> log_;
  node_app::Server server_;
  int port_ = 0;
  std::thread thread_;
};

// The node's program as a user starts it, serving `root` on a free loopback port with `options`
// and `env`, until it goes; std::runtime_error when it does not start within 10 s.
class NodeProgram {
 public:
  NodeProgram(const fs::path& root, const std::vector<std::string>& options,
              const std::map<std::string, std::string>& env = {{"NALTO_COMPUTE_TOKEN", ""}}) {
    std::vector<std::string> argv{NALTO_COMPUTE_NODE_EXE, "--datasets", root.string(), "--port", "0"};
    argv.insert(argv.end(), options.begin(), options.end());
    process_ = std::make_unique<Subprocess>(argv, env);
    const auto started = [this] { return process_->out().find('\n') != std::string::npos; };
    if (!process_->read_until(started, Subprocess::Clock::now() + std::chrono::seconds(10)))
      throw std::runtime_error("the node did not start: " + process_->err());
    const std::string& out = process_->out();
    port_ = std::stoi(out.substr(out.rfind(':') + 1));
  }

  Subprocess& process() const { return *process_; }
  int port() const { return port_; }

  NodeAnswer request(const std::string& method, const std::string& path, const std::string& body = {},
                     const httplib::Headers& headers = {}) const {
    httplib::Client client("127.0.0.1", port_);
    client.set_connection_timeout(5);
    client.set_read_timeout(10);
    const httplib::Result result =
        method == "GET" ? client.Get(path, headers) : client.Post(path, headers, body, "application/json");
    if (!result) throw std::runtime_error("no answer from the node: " + httplib::to_string(result.error()));
    return {result->status, result->body};
  }

 private:
  std::unique_ptr<Subprocess> process_;
  int port_ = 0;
};

// A TCP connection to a loopback port that sends what the test says, when it says, and reads what
// comes back.
class RawClient {
 public:
  using Clock = std::chrono::steady_clock;

  explicit RawClient(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!fd_.valid() || ::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      throw std::runtime_error("cannot connect to the node");
  }

  // False once the node has closed (or reset) the connection.
  bool send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  // What the node sends until it closes the connection or `limit` passes; `closed` tells which.
  std::string read_all(std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    std::string got;
    char buffer[4096];
    pollfd poll_fd{fd_.get(), POLLIN, 0};
    while (true) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0 || ::poll(&poll_fd, 1, static_cast<int>(left)) <= 0) return got;
      const ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
      if (n <= 0) {
        closed = true;
        return got;
      }
      got.append(buffer, static_cast<std::size_t>(n));
    }
  }

  bool closed = false;

 private:
  Fd fd_;
};

// The status of a raw HTTP answer ("HTTP/1.1 413 ..."), or 0 when there is none.
inline int status_of(const std::string& answer) {
  if (!answer.starts_with("HTTP/1.1 ") || answer.size() < 12) return 0;
  return std::stoi(answer.substr(9, 3));
}

// The body of a raw HTTP answer with a Content-Length, as JSON.
inline Json body_of(const std::string& answer) {
  const std::size_t start = answer.find("\r\n\r\n");
  if (start == std::string::npos) throw std::runtime_error("no HTTP answer: " + answer);
  return Json::parse(answer.substr(start + 4));
}

}  // namespace nalto::testing
