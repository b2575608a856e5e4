#include "nalto/runtime/grpc_call.hpp"

#include <array>
#include <atomic>
#include <stop_token>

#include "nalto/support/async.hpp"

namespace nalto::runtime {

namespace {

// Sims that answer within this are served without leaving the event loop's thread: handing a call
// to a worker and back costs more than the call itself. Only a lone queue waits so, since the loop
// serves no other sim meanwhile.
constexpr auto INLINE_WAIT = std::chrono::milliseconds(2);

std::atomic<int> live_queues{0};

// One answer holds one observation: even a camera frame written as JSON numbers takes tens of MiB. A
// larger one is refused (RESOURCE_EXHAUSTED) before it is read into memory.
constexpr int MAX_ANSWER_BYTES = 256 << 20;

}  // namespace

std::string status_name(grpc::StatusCode code) {
  static constexpr std::array<const char*, 17> names = {
      "OK",        "CANCELLED",      "UNKNOWN",           "INVALID_ARGUMENT",   "DEADLINE_EXCEEDED",
      "NOT_FOUND", "ALREADY_EXISTS", "PERMISSION_DENIED", "RESOURCE_EXHAUSTED", "FAILED_PRECONDITION",
      "ABORTED",   "OUT_OF_RANGE",   "UNIMPLEMENTED",     "INTERNAL",           "UNAVAILABLE",
      "DATA_LOSS", "UNAUTHENTICATED"};
  const auto index = static_cast<std::size_t>(code);
  return index < names.size() ? names[index] : "STATUS " + std::to_string(index);
}

void throw_call_error(const grpc::Status& status) {
  const std::string& message = status.error_message();
  throw GrpcCallError(status.error_code(),
                      status_name(status.error_code()) + (message.empty() ? "" : ": " + message));
}

std::shared_ptr<grpc::Channel> sim_channel(const std::string& address) {
  grpc::ChannelArguments args;
  args.SetInt(GRPC_ARG_ENABLE_HTTP_PROXY, 0);
  args.SetMaxReceiveMessageSize(MAX_ANSWER_BYTES);
  args.SetMaxSendMessageSize(-1);
  args.SetInt(GRPC_ARG_INITIAL_RECONNECT_BACKOFF_MS, 10);
  args.SetInt(GRPC_ARG_MIN_RECONNECT_BACKOFF_MS, 20);
  args.SetInt(GRPC_ARG_MAX_RECONNECT_BACKOFF_MS, 20);
  // After a refused connection the channel resolves the name again, by default at most every 30 s.
  args.SetInt(GRPC_ARG_DNS_MIN_TIME_BETWEEN_RESOLUTIONS_MS, 10);
  return grpc::CreateCustomChannel(address, grpc::InsecureChannelCredentials(), args);
}

CallQueue::CallQueue() {
  ++live_queues;
}

CallQueue::~CallQueue() {
  --live_queues;
  queue_.Shutdown();
  void* tag;
  bool ok;
  while (queue_.Next(&tag, &ok)) {
  }
}

asio::awaitable<void> CallQueue::finish(grpc::ClientContext& context) {
  void* tag;
  bool ok;
  if (live_queues.load() == 1 &&
      queue_.AsyncNext(&tag, &ok, std::chrono::system_clock::now() + INLINE_WAIT) ==
          grpc::CompletionQueue::GOT_EVENT)
    co_return;
  auto wait = [this, &context] {
    const std::stop_callback cancel(current_stop_token(), [&context] { context.TryCancel(); });
    void* tag;
    bool ok;
    queue_.Next(&tag, &ok);
  };
  if (!waiter_) waiter_ = std::make_unique<asio::thread_pool>(1);
  co_await run_blocking_on(*waiter_, std::move(wait));
}

}  // namespace nalto::runtime
