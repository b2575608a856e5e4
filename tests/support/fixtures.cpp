#include "support/fixtures.hpp"

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace nalto::testing {

CapturedConsole::CapturedConsole(bool terminal)
    : no_force_("FORCE_COLOR", std::nullopt),
      no_colour_("NO_COLOR", std::nullopt),
      console_(ConsoleOptions{.out = &out_,
                              .err = &err_,
                              .out_is_terminal = terminal,
                              .err_is_terminal = terminal,
                              .frame_interval = std::chrono::milliseconds(0)}),
      scope_(console_) {}

std::vector<std::string> CapturedConsole::lines() const {
  std::vector<std::string> lines;
  std::istringstream in(out_.str());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

CapturedLog::CapturedLog(const std::string& name)
    : logger_(outside::get_logger(name)),
      previous_sinks_(logger_->sinks()),
      previous_level_(logger_->level()) {
  auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(stream_);
  sink->set_pattern("%l %v");
  logger_->sinks() = {sink};
  logger_->set_level(spdlog::level::debug);
}

CapturedLog::~CapturedLog() {
  logger_->sinks() = previous_sinks_;
  logger_->set_level(previous_level_);
}

std::vector<std::string> CapturedLog::records() const {
  std::vector<std::string> records;
  std::istringstream in(stream_.str());
  for (std::string line; std::getline(in, line);) records.push_back(line);
  return records;
}

FakePlatform::FakePlatform() {
  on_start = [](const PlatformCall&) {
    return Json{{"jobId", "job-1"},
                {"simulatorId", "sim-1"},
                {"simulatorImplementationId", "impl-1"},
                {"validationRunId", "run-1"},
                {"maxLagSteps", 3}};
  };
  statuses.push_back(
      Json{{"buildStatus", "DONE"}, {"buildMapped", true}, {"eventStatus", "done"}, {"runs", Json::array()}});
}

asio::awaitable<Json> FakePlatform::link(std::string org_id, std::string project_id, std::string sim_id) {
  calls.push_back({"link", {org_id, project_id, sim_id}, nullptr});
  co_await maybe_hang("link");
  co_return on_link(calls.back());
}

asio::awaitable<Json> FakePlatform::publish_report_start(std::string org_id, std::string sim_id,
                                                         std::string implementation_id,
                                                         std::string dataset_id) {
  calls.push_back({"start", {org_id, sim_id, implementation_id, dataset_id}, nullptr});
  co_await maybe_hang("start");
  co_return on_start(calls.back());
}

asio::awaitable<Json> FakePlatform::publish_report_submit(std::string org_id, std::string sim_id,
                                                          std::string implementation_id, std::string job_id,
                                                          Json body) {
  calls.push_back({"submit", {org_id, sim_id, implementation_id, job_id}, std::move(body)});
  co_await maybe_hang("submit");
  co_return on_submit(calls.back());
}

asio::awaitable<Json> FakePlatform::publish_report_status(std::string org_id, std::string sim_id,
                                                          std::string implementation_id, std::string job_id) {
  calls.push_back({"status", {org_id, sim_id, implementation_id, job_id}, nullptr});
  co_await maybe_hang("status");
  Json status = statuses.front();
  if (statuses.size() > 1) statuses.pop_front();
  co_return status;
}

asio::awaitable<void> FakePlatform::maybe_hang(const std::string& op) {
  if (op != hang_on) co_return;
  on_hang();
  co_await sleep_for(3600);
}

std::vector<std::string> FakePlatform::ops() const {
  std::vector<std::string> ops;
  for (const auto& call : calls) ops.push_back(call.op);
  return ops;
}

std::size_t FakePlatform::count(const std::string& op) const {
  std::size_t n = 0;
  for (const auto& call : calls) n += call.op == op;
  return n;
}

const PlatformCall* FakePlatform::last(const std::string& op) const {
  for (auto it = calls.rbegin(); it != calls.rend(); ++it)
    if (it->op == op) return &*it;
  return nullptr;
}

void hold_until(const std::atomic<bool>& release) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!release && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

FakeNode::FakeNode() = default;

void FakeNode::start() {
  port_ = server.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("the fake node could not bind a loopback port");
  thread_ = std::thread([this] { server.listen_after_bind(); });
  // stop() only reaches a server whose loop has begun.
  for (int i = 0; i < 5000 && !server.is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  env_.emplace("NALTO_COMPUTE_URL", url());
}

FakeNode::~FakeNode() {
  server.stop();
  if (thread_.joinable()) thread_.join();
}

namespace {

constexpr const char* MARK_NAME = "NALTO_TEST_PROCESS_MARK";

std::string next_mark() {
  static std::atomic<int> count{0};
  return std::to_string(::getpid()) + "-" + std::to_string(++count);
}

std::vector<int> marked(const std::string& entry) {
  std::vector<int> pids;
  std::error_code ignored;
  for (const auto& dir : std::filesystem::directory_iterator("/proc", ignored)) {
    const std::string name = dir.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(dir.path() / "environ", std::ios::binary);
    const std::string block{std::istreambuf_iterator<char>(in), {}};
    for (std::size_t start = 0; start < block.size();) {
      const std::size_t end = std::min(block.find('\0', start), block.size());
      if (block.compare(start, end - start, entry) == 0) {
        pids.push_back(std::stoi(name));
        break;
      }
      start = end + 1;
    }
  }
  return pids;
}

}  // namespace

ProcessMark::ProcessMark() : value_(next_mark()), env_(MARK_NAME, value_) {}

std::vector<int> ProcessMark::alive(std::chrono::milliseconds grace) const {
  const std::string entry = std::string(MARK_NAME) + "=" + value_;
  const auto end = std::chrono::steady_clock::now() + grace;
  std::vector<int> pids = marked(entry);
  while (!pids.empty() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    pids = marked(entry);
  }
  return pids;
}

}  // namespace nalto::testing
