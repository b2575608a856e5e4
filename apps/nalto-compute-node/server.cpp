#include <arpa/inet.h>
#include <httplib.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <thread>

#include "compute_node.hpp"
#include "nalto/support/fd.hpp"
#include "nalto/support/hex.hpp"
#include "nalto/support/json.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto::node_app {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* JSON_TYPE = "application/json";

constexpr std::string_view ANALYSIS_ACTIONS = "/ml/analysis-actions";
constexpr std::string_view ANALYZE_ROLLOUTS = "/ml/sim-analyze-rollouts";
constexpr std::string_view SCORE_ROLLOUTS = "/ml/sim-score-rollouts";

// A connection closed while its client may still be sending is read (and the bytes dropped) this long
// first: closing a socket with unread bytes resets the connection, and a reset may erase the answer
// before the client has read it.
constexpr auto LINGER = std::chrono::milliseconds(500);

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

// The header's value is read as it came, bytes after a NUL included: get_header_value would hand it
// back as a C string, cut at the NUL, and "Bearer <token>\0junk" would match.
std::optional<std::string> token_refusal(const httplib::Request& request, const std::string& token) {
  const auto [first, last] = request.headers.equal_range("Authorization");
  if (first == last)
    return "this compute node needs its token: set NALTO_COMPUTE_TOKEN to the token it was started with";
  const std::string& header = first->second;
  constexpr std::string_view scheme = "bearer ";
  const bool bearer = header.size() >= scheme.size() &&
                      std::equal(scheme.begin(), scheme.end(), header.begin(), [](char a, char b) {
                        return a == std::tolower(static_cast<unsigned char>(b));
                      });
  const bool once = std::next(first) == last;
  if (!once || !bearer || !same_secret(std::string_view(header).substr(scheme.size()), token))
    return "the token does not match this compute node's: set NALTO_COMPUTE_TOKEN to the token it was "
           "started with";
  return std::nullopt;
}

// False when the request gives its body's length differently twice, as a list, or as no whole number:
// httplib would read the first number it finds, and a proxy before the node another one.
bool one_length(const httplib::Request& request) {
  const auto [first, last] = request.headers.equal_range("Content-Length");
  return std::all_of(first, last, [&first](const auto& header) {
    const std::string& value = header.second;
    return value == first->second && !value.empty() &&
           std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
  });
}

std::string size_text(std::size_t bytes) {
  constexpr std::size_t MiB = 1024 * 1024;
  if (bytes < MiB) return std::to_string((bytes + 1023) / 1024) + " KiB";
  if (bytes % MiB == 0) return std::to_string(bytes / MiB) + " MiB";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / MiB);
  return text;
}

std::string seconds_text(std::chrono::milliseconds time) {
  return plain_text(static_cast<double>(time.count()) / 1000) + " s";
}

// What a request body may hold: the predictions of every row of `dataset` for each of its sensors,
// at 64 bytes a value (a double's shortest text takes at most 24, so a body written with spaces or
// line breaks still fits), its keys once per episode and all its names, six bytes a character (the
// widest JSON escape), and 1 MiB for the rest of the request.
std::size_t body_needed(const Dataset& dataset) {
  std::size_t sensors = 0, sensor_keys = 0, names = 0;
  for (const Column& column : dataset.columns) {
    names += 6 * (column.key.size() + column.raw_name.size());
    if (column.role != Role::sensor) continue;
    ++sensors;
    sensor_keys += 6 * column.key.size() + 32;
  }
  return 1024 * 1024 + names + dataset.n_rows * sensors * 64 + dataset.episodes.size() * (64 + sensor_keys);
}

// One HTTP connection as a worker serves it, with the time limits of slow clients: a request's
// headers must arrive within `header_time` of its first byte; its body, and then the answer, must move
// at `min_bytes_per_second` or faster, counted from the end of the headers (from the first byte of
// the answer) after a grace of `transfer_grace`. A wait past its limit fails the read or write, which
// ends the request (408) and the connection; a stop of the node ends the waits for a request at once.
class Connection final : public httplib::Stream {
 public:
  Connection(int fd, const ServerOptions& options, int stop_fd)
      : fd_(fd), options_(options), stop_fd_(stop_fd) {}

  // Waits up to `idle` for the next request (its first byte) and starts its clock.
  bool next_request(std::chrono::milliseconds idle) {
    if (begin_ == end_ && !wait(POLLIN, Clock::now() + idle, true)) return false;
    request_start_ = Clock::now();
    reading_body_ = false;
    body_bytes_ = written_ = 0;
    writing_ = timed_out_ = closing_ = false;
    return true;
  }
  void headers_read() {
    reading_body_ = true;
    body_start_ = Clock::now();
  }
  bool timed_out() const { return timed_out_; }
  // The answer is the connection's last: its client may have sent more than the node read.
  void close_after() { closing_ = true; }
  bool closing() const { return closing_ || timed_out_; }

  bool is_readable() const override { return begin_ != end_ || wait(POLLIN, read_deadline(), true); }
  bool is_writable() const override { return wait(POLLOUT, write_deadline(), false); }

  ssize_t read(char* ptr, size_t size) override {
    if (begin_ == end_) {
      while (true) {
        if (!wait(POLLIN, read_deadline(), true)) return -1;
        const ssize_t n = retry_eintr([&] { return ::recv(fd_, buffer_, sizeof buffer_, MSG_DONTWAIT); });
        if (n >= 0) {
          begin_ = 0;
          end_ = static_cast<std::size_t>(n);
          break;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      }
      if (end_ == 0) return 0;
    }
    const std::size_t given = std::min(size, end_ - begin_);
    std::copy_n(buffer_ + begin_, given, ptr);
    begin_ += given;
    if (reading_body_) body_bytes_ += given;
    return static_cast<ssize_t>(given);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!writing_) {
      writing_ = true;
      write_start_ = Clock::now();
    }
    while (true) {
      if (!wait(POLLOUT, write_deadline(), false)) return -1;
      const ssize_t n = retry_eintr([&] { return ::send(fd_, ptr, size, MSG_DONTWAIT | MSG_NOSIGNAL); });
      if (n >= 0) {
        written_ += static_cast<std::size_t>(n);
        return n;
      }
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    }
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    address_of(::getpeername, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    address_of(::getsockname, ip, port);
  }
  socket_t socket() const override { return fd_; }

 private:
  // Capped at a year, which no client waits for, so that the sum stays in the clock's range.
  Clock::time_point paced(Clock::time_point start, std::size_t bytes) const {
    const double rate = static_cast<double>(std::max<std::size_t>(options_.min_bytes_per_second, 1));
    const std::chrono::duration<double> allowed(std::min(static_cast<double>(bytes) / rate, 365 * 86400.0));
    return start + options_.transfer_grace + std::chrono::duration_cast<Clock::duration>(allowed);
  }
  Clock::time_point read_deadline() const {
    return reading_body_ ? paced(body_start_, body_bytes_) : request_start_ + options_.header_time;
  }
  Clock::time_point write_deadline() const { return paced(write_start_, written_); }

  // Until the socket is ready for `events` (or has failed, which the call after tells), the deadline,
  // or, when `stoppable`, the node's stop.
  bool wait(short events, Clock::time_point deadline, bool stoppable) const {
    pollfd fds[2] = {{fd_, events, 0}, {stop_fd_, POLLIN, 0}};
    while (true) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        timed_out_ = true;
        return false;
      }
      const int ready = ::poll(fds, stoppable ? 2 : 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
      if (ready < 0 && errno != EINTR) return false;
      if (ready <= 0) continue;
      if (stoppable && fds[1].revents != 0) return false;
      if (fds[0].revents != 0) return true;
    }
  }

  template <class Query>
  void address_of(Query query, std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (query(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) return;
    char host[NI_MAXHOST], service[NI_MAXSERV];
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&address), size, host, sizeof host, service, sizeof service,
                      NI_NUMERICHOST | NI_NUMERICSERV) != 0)
      return;
    ip = host;
    port = std::atoi(service);
  }

  int fd_;
  const ServerOptions& options_;
  int stop_fd_;
  char buffer_[16 * 1024];
  std::size_t begin_ = 0, end_ = 0;
  Clock::time_point request_start_, body_start_, write_start_;
  bool reading_body_ = false, writing_ = false, closing_ = false;
  mutable bool timed_out_ = false;
  std::size_t body_bytes_ = 0, written_ = 0;
};

// Bytes handed from the thread that reads a request to the one that parses it, at most PIPE_BYTES
// waiting at once: the parse reads as fast as the client sends, and the body is never whole in memory.
class BytePipe final : public std::streambuf {
 public:
  // Waits while the pipe is full; once the parse has stopped reading, the bytes are dropped.
  void write(const char* data, std::size_t size) {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [this] { return waiting_ < PIPE_BYTES || stopped_; });
    if (stopped_) return;
    if (chunks_.empty() || chunks_.back().size() >= CHUNK_BYTES) chunks_.emplace_back();
    chunks_.back().append(data, size);
    waiting_ += size;
    bytes_.notify_one();
  }
  // No more bytes come.
  void close() {
    const std::lock_guard lock(mutex_);
    closed_ = true;
    bytes_.notify_one();
  }
  // The parse has ended, maybe before the body's end.
  void stop_reading() {
    const std::lock_guard lock(mutex_);
    stopped_ = true;
    chunks_.clear();
    room_.notify_one();
  }

 private:
  static constexpr std::size_t PIPE_BYTES = 1 << 20, CHUNK_BYTES = 64 * 1024;

  int_type underflow() override {
    std::unique_lock lock(mutex_);
    bytes_.wait(lock, [this] { return !chunks_.empty() || closed_; });
    if (chunks_.empty()) return traits_type::eof();
    reading_ = std::move(chunks_.front());
    chunks_.pop_front();
    waiting_ -= reading_.size();
    room_.notify_one();
    setg(reading_.data(), reading_.data(), reading_.data() + reading_.size());
    return traits_type::to_int_type(reading_.front());
  }

  std::mutex mutex_;
  std::condition_variable room_, bytes_;
  std::deque<std::string> chunks_;
  std::string reading_;
  std::size_t waiting_ = 0;
  bool closed_ = false, stopped_ = false;
};

// The connection this thread serves, for the handlers that httplib calls on it.
thread_local Connection* current = nullptr;
// Set on the accepting thread while it refuses a connection beyond the limit.
thread_local bool refusing = false;

class CurrentConnection {
 public:
  explicit CurrentConnection(Connection& connection) { current = &connection; }
  ~CurrentConnection() { current = nullptr; }
  CurrentConnection(const CurrentConnection&) = delete;
  CurrentConnection& operator=(const CurrentConnection&) = delete;
};

// This answer is the connection's last, and says so unless httplib will (the client asked to close).
void end_connection(const httplib::Request& request, httplib::Response& response) {
  if (current) current->close_after();
  if (request.get_header_value("Connection") != "close") response.set_header("Connection", "close");
}

// Reads what the client still sends, for at most LINGER, after the node's side is shut.
void linger(int fd) {
  ::shutdown(fd, SHUT_WR);
  const auto end = Clock::now() + LINGER;
  char sink[16 * 1024];
  pollfd poll_fd{fd, POLLIN, 0};
  while (true) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0 || retry_eintr([&] { return ::poll(&poll_fd, 1, static_cast<int>(left)); }) <= 0) return;
    if (retry_eintr([&] { return ::recv(fd, sink, sizeof sink, MSG_DONTWAIT); }) <= 0) return;
  }
}

// One worker per connection, started with the server: a connection never waits for another to end.
// The connections being served or about to be are counted here; beyond the limit, a connection is
// refused at once on the accepting thread, so none waits in a queue either.
class Workers final : public httplib::TaskQueue {
 public:
  Workers(std::size_t limit, std::atomic<std::size_t>& open) : pool_(limit), limit_(limit), open_(open) {}

  void enqueue(std::function<void()> task) override {
    std::size_t now = open_.load();
    do {
      if (now >= limit_) {
        refusing = true;
        task();
        refusing = false;
        return;
      }
    } while (!open_.compare_exchange_weak(now, now + 1));
    pool_.enqueue(std::move(task));
  }
  void shutdown() override { pool_.shutdown(); }

 private:
  httplib::ThreadPool pool_;
  std::size_t limit_;
  std::atomic<std::size_t>& open_;
};

}  // namespace

// httplib's server with the node's own connection handling (Connection) in place of its socket
// stream, whose read time-out is per read: a client sending a byte at a time held a worker for ever.
class Server::Http final : public httplib::Server {
 public:
  // `on_connection` hears of every connection: refused (true) or let in.
  Http(const ServerOptions& options, std::function<void(bool)> on_connection)
      : options_(options), on_connection_(std::move(on_connection)), stop_(::eventfd(0, EFD_CLOEXEC)) {
    if (!stop_.valid()) throw std::runtime_error("the compute node cannot make its stop event");
    new_task_queue = [this] {
      return new Workers(std::max<std::size_t>(options_.max_connections, 1), open_);
    };
  }

  // httplib listens with a backlog of five: a burst of connections beyond it waits for the clients'
  // retries, a second or more. Listening again only widens the queue.
  void widen_backlog() { ::listen(svr_sock_, SOMAXCONN); }

  void stop_waits() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(stop_.get(), &one, sizeof one);
  }

 private:
  bool process_and_close_socket(socket_t sock) override {
    const Fd owned(sock);
    if (refusing) {
      refuse(sock);
      return false;
    }
    struct Closed {
      std::atomic<std::size_t>& open;
      ~Closed() { --open; }
    } closed{open_};
    on_connection_(false);
    Connection connection(sock, options_, stop_.get());
    const CurrentConnection serving(connection);
    bool served = false;
    for (std::size_t left = keep_alive_max_count_; left > 0 && svr_sock_ != INVALID_SOCKET; --left) {
      if (!connection.next_request(std::chrono::seconds(keep_alive_timeout_sec_))) break;
      bool closed_by_client = false;
      served = process_request(connection, left == 1, closed_by_client,
                               [&connection](httplib::Request&) { connection.headers_read(); });
      if (!served || closed_by_client || connection.closing()) break;
    }
    if (connection.closing())
      linger(sock);
    else
      ::shutdown(sock, SHUT_RDWR);
    return served;
  }

  // Written without waiting: a refused client that does not read its answer only loses it.
  void refuse(int fd) {
    on_connection_(true);
    const std::string body = detail("this compute node serves " + std::to_string(options_.max_connections) +
                                    " connections at once and all are taken; try again shortly");
    const std::string response =
        "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\nRetry-After: 1\r\nConnection: close\r\n\r\n" + body;
    [[maybe_unused]] const ssize_t sent =
        ::send(fd, response.data(), response.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    char sink[16 * 1024];
    while (::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
  }

  const ServerOptions& options_;
  std::function<void(bool)> on_connection_;
  Fd stop_;
  std::atomic<std::size_t> open_ = 0;
};

std::string printable(std::string_view text) {
  const auto escaped = [](char32_t cp) {
    return (cp >= 0x80 && cp <= 0x9F) || cp == 0x061C || cp == 0x200E || cp == 0x200F ||
           (cp >= 0x2028 && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
  };
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const utf8::Step step = utf8::decode(text, pos);
    if (!step.valid || step.code_point < 0x20 || step.code_point == 0x7F) {
      out += "\\x";
      append_hex(out, static_cast<unsigned char>(text[pos]), 2);
    } else if (escaped(step.code_point)) {
      out += "\\u";
      append_hex(out, step.code_point, 4);
    } else {
      out += text.substr(pos, step.length);
    }
    pos += step.length;
  }
  return out;
}

std::size_t body_limit(const Catalog& catalog, std::size_t ceiling) {
  std::size_t needed = body_needed(Dataset{});
  for (const CatalogEntry& entry : catalog.entries())
    if (entry.dataset) needed = std::max(needed, body_needed(*entry.dataset));
  return std::min(needed, ceiling);
}

bool is_loopback(const std::string& host) {
  if (host == "localhost") return true;
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  const std::string bare =
      host.size() > 2 && host.front() == '[' && host.back() == ']' ? host.substr(1, host.size() - 2) : host;
  return inet_pton(AF_INET6, bare.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

std::size_t Server::body_limit() const {
  return node_app::body_limit(*service_.catalog(), options_.max_body_bytes);
}

bool Server::BodyBudget::hold(std::size_t& held, std::size_t total, std::size_t limit) {
  if (total <= held) return true;
  std::size_t now = taken.load();
  do {
    if (now + (total - held) > limit) return false;
  } while (!taken.compare_exchange_weak(now, now + (total - held)));
  held = total;
  return true;
}

void Server::BodyBudget::release(std::size_t held) {
  taken -= held;
}

std::string Server::status_detail(const httplib::Request& request, int status) const {
  switch (status) {
    case 404:
      return "this compute node has no " + request.method + " " + request.path +
             "; it serves GET /ml/datasets, GET /ml/datasets/<id or name>, GET /ml/dataset-stats/<id or "
             "name>, POST /ml/analysis-actions, POST /ml/sim-analyze-rollouts and POST "
             "/ml/sim-score-rollouts";
    case 408:
      return "the request did not arrive in time: this compute node waits " +
             seconds_text(options_.header_time) + " for a request's headers, and then reads its body at " +
             size_text(options_.min_bytes_per_second) + "/s or faster after the first " +
             seconds_text(options_.transfer_grace);
    case 413:
      return "the request body is too large for this compute node: it takes JSON bodies of up to " +
             size_text(body_limit()) + ", sent as Content-Type: application/json";
    case 503:
      return "this compute node is reading other large requests and cannot hold this one as well; try "
             "again when they are answered";
    default:
      return "the request failed with HTTP status " + std::to_string(status);
  }
}

// Refuses, before its body is read, a request that is not let in (token) or that the node would
// not read whole: a body it has no route for, or one longer than the node takes. A refused request
// with a body ends its connection, since the body is left unread.
bool Server::refused_early(const httplib::Request& request, httplib::Response& response) const {
  const bool with_body = request.method == "POST" || request.method == "PUT" || request.method == "PATCH" ||
                         request.method == "DELETE" || request.method == "PRI";
  const auto refuse = [&](int status) {
    response.status = status;
    if (with_body) end_connection(request, response);
    return true;
  };
  if (!one_length(request)) {
    answer(response, {400, detail("the request's Content-Length must be one whole number, given once (or the "
                                  "same each time): otherwise where its body ends is unsure")});
    response.status = 400;
    end_connection(request, response);
    return true;
  }
  if (options_.token) {
    if (const std::optional<std::string> refusal = token_refusal(request, *options_.token)) {
      response.set_header("WWW-Authenticate", "Bearer");
      answer(response, {401, detail(*refusal)});
      return refuse(401);
    }
  }
  if (!with_body) return false;
  if (request.method != "POST" || (request.path != ANALYSIS_ACTIONS && request.path != ANALYZE_ROLLOUTS &&
                                   request.path != SCORE_ROLLOUTS))
    return refuse(404);
  if (request.has_header("Content-Length") &&
      request.get_header_value<std::uint64_t>("Content-Length") > static_cast<std::uint64_t>(body_limit()))
    return refuse(413);
  return false;
}

bool Server::receive(const httplib::Request& request, httplib::Response& response,
                     const httplib::ContentReader& reader,
                     const std::function<void(const char*, std::size_t)>& take) {
  const std::size_t limit = body_limit();
  const std::size_t budget = BODIES_AT_ONCE * limit;
  std::size_t held = 0, received = 0;
  struct Release {
    BodyBudget& budget;
    std::size_t& held;
    ~Release() { budget.release(held); }
  } release{budget_, held};
  int refusal = 0;
  // A known length is held before the body is read; refused_early saw it is within the limit.
  if (request.has_header("Content-Length")) {
    const auto length = static_cast<std::size_t>(request.get_header_value<std::uint64_t>("Content-Length"));
    if (!budget_.hold(held, length, budget)) {
      end_connection(request, response);
      response.status = 503;
      return false;
    }
  }
  const bool whole = reader([&](const char* data, std::size_t size) {
    if (received + size > limit) {
      refusal = 413;
      return false;
    }
    if (!budget_.hold(held, received + size, budget)) {
      refusal = 503;
      return false;
    }
    received += size;
    take(data, size);
    return true;
  });
  if (!whole) {
    end_connection(request, response);
    response.status = refusal ? refusal : current && current->timed_out() ? 408 : 400;
  }
  return whole;
}

void Server::read_body(const httplib::Request& request, httplib::Response& response,
                       const httplib::ContentReader& reader,
                       const std::function<Reply(std::string_view)>& handle) {
  std::string body;
  const auto length = static_cast<std::size_t>(request.get_header_value<std::uint64_t>("Content-Length"));
  auto take = [&body, length](const char* data, std::size_t size) {
    if (body.empty()) body.reserve(length);  // once the budget has let the body in
    body.append(data, size);
  };
  if (receive(request, response, reader, take)) answer(response, handle(body));
}

void Server::stream_body(const httplib::Request& request, httplib::Response& response,
                         const httplib::ContentReader& reader,
                         const std::function<Reply(std::streambuf&)>& handle) {
  BytePipe pipe;
  Reply reply;
  std::exception_ptr failure;
  bool whole = false;
  {
    // Joined once the pipe is closed, on every path: the parse then sees the end of the bytes.
    struct Parse {
      BytePipe& pipe;
      std::thread thread;
      ~Parse() {
        pipe.close();
        thread.join();
      }
    } parse{pipe, std::thread([&] {
              try {
                reply = handle(pipe);
              } catch (...) {
                failure = std::current_exception();
              }
              pipe.stop_reading();
            })};
    whole = receive(request, response, reader,
                    [&pipe](const char* data, std::size_t size) { pipe.write(data, size); });
  }
  if (!whole) return;
  if (failure) std::rethrow_exception(failure);
  answer(response, reply);
}

Server::Server(Catalog catalog, ServerOptions options, RunIndex runs, EvidencePages pages)
    : service_(
          std::move(catalog),
          [log = options.log](const std::string& line) {
            if (log) log(printable(line));
          },
          std::move(runs), std::move(pages)),
      options_(std::move(options)),
      http_(std::make_unique<Http>(options_, [this](bool refused) { tell_connection(refused); })) {
  if (options_.token && options_.token->empty()) options_.token.reset();
  Http& http = *http_;
  http.set_payload_max_length(options_.max_body_bytes);
  // An idle kept-alive connection holds a worker: keep that short.
  http.set_keep_alive_timeout(1);

  http.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
    return refused_early(request, response) ? httplib::Server::HandlerResponse::Handled
                                            : httplib::Server::HandlerResponse::Unhandled;
  });
  // A client that asks before sending its body learns of a refusal before it sends it.
  http.set_expect_100_continue_handler([this](const httplib::Request& request, httplib::Response& response) {
    return refused_early(request, response) ? response.status : 100;
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
  http.Post(std::string(ANALYSIS_ACTIONS),
            [this](const httplib::Request& request, httplib::Response& response,
                   const httplib::ContentReader& reader) {
              read_body(request, response, reader,
                        [this](std::string_view body) { return service_.analysis_actions(body); });
            });
  http.Post(std::string(ANALYZE_ROLLOUTS),
            [this](const httplib::Request& request, httplib::Response& response,
                   const httplib::ContentReader& reader) {
              stream_body(request, response, reader,
                          [this](std::streambuf& body) { return service_.analyze_rollouts(body); });
            });
  http.Post(std::string(SCORE_ROLLOUTS), [this](const httplib::Request& request, httplib::Response& response,
                                                const httplib::ContentReader& reader) {
    stream_body(request, response, reader,
                [this](std::streambuf& body) { return service_.score_rollouts(body); });
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
  http.set_error_handler(httplib::Server::HandlerWithResponse(
      [this](const httplib::Request& request, httplib::Response& response) {
        if (current && current->timed_out()) {
          response.status = 408;
          response.body.clear();
          end_connection(request, response);
        }
        if (!response.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        response.set_content(detail(status_detail(request, response.status)), JSON_TYPE);
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

// Refusals are told at most once a second while they go on, however many: a flood must not flood the
// log. The next connection let in tells those not told yet.
void Server::tell_connection(bool refused) {
  if (!options_.log) return;
  const std::lock_guard lock(refusals_mutex_);
  refusals_ += refused ? 1 : 0;
  const auto now = std::chrono::steady_clock::now();
  if (refusals_ == 0 || (refused && now - last_refusal_told_ < std::chrono::seconds(1))) return;
  options_.log("refused " + std::to_string(refusals_) + (refusals_ == 1 ? " connection" : " connections") +
               ": " + std::to_string(options_.max_connections) + " were open already");
  refusals_ = 0;
  last_refusal_told_ = now;
}

int Server::bind(const std::string& host, int port) {
  const int bound = port == 0 ? http_->bind_to_any_port(host) : (http_->bind_to_port(host, port) ? port : -1);
  if (bound <= 0)
    throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port) +
                             " (the address is taken or not this machine's)");
  http_->widen_backlog();
  return bound;
}

void Server::serve() {
  http_->listen_after_bind();
}

void Server::stop() {
  http_->stop_waits();
  http_->stop();
}

bool Server::running() const {
  return http_->is_running();
}

}  // namespace nalto::node_app
