#pragma once

#include <grpcpp/grpcpp.h>

#include <asio/awaitable.hpp>
#include <asio/thread_pool.hpp>
#include <chrono>
#include <memory>
#include <string>

#include "nalto/support/errors.hpp"

namespace nalto::runtime {

// gRPC's name of a status code, as in "UNAVAILABLE".
std::string status_name(grpc::StatusCode code);

// A failed call with its status code, for callers that act on the code; to everyone else it is a
// SimCallError like any other.
class GrpcCallError : public SimCallError {
 public:
  GrpcCallError(grpc::StatusCode code, std::string message) : SimCallError(std::move(message)), code_(code) {}
  grpc::StatusCode code() const noexcept { return code_; }

 private:
  grpc::StatusCode code_;
};

// A failed call as the sim's caller sees it: a GrpcCallError with the status name and message.
[[noreturn]] void throw_call_error(const grpc::Status& status);

// Channel settings for a sim on loopback: no proxy, no message size limit (observations can be
// large) and a short reconnect back-off, so a sim that has just started listening is reached soon.
std::shared_ptr<grpc::Channel> sim_channel(const std::string& address);

// A completion queue for unary calls made one at a time from the event loop.
class CallQueue {
 public:
  CallQueue();
  ~CallQueue();
  CallQueue(const CallQueue&) = delete;
  CallQueue& operator=(const CallQueue&) = delete;

  grpc::CompletionQueue* get() { return &queue_; }

  // Waits for the one call started on the queue. While this is the only queue, a quick answer is taken
  // on this thread; any other is awaited on the queue's own thread while the loop goes on. Cancelling
  // the await cancels the call.
  asio::awaitable<void> finish(grpc::ClientContext& context);

 private:
  grpc::CompletionQueue queue_;
  // Started at the first answer awaited there: sims that run side by side each keep a waiting thread,
  // which a shared pool would run short of.
  std::unique_ptr<asio::thread_pool> waiter_;
};

// Makes one unary call: `prepare(&context, queue)` is a stub's PrepareAsync method bound to its
// request. The status of a failed call is raised as SimCallError.
template <class Response, class Prepare>
asio::awaitable<Response> unary_call(
    CallQueue& queue, Prepare prepare,
    std::chrono::system_clock::time_point deadline = std::chrono::system_clock::time_point::max()) {
  grpc::ClientContext context;
  if (deadline != std::chrono::system_clock::time_point::max()) context.set_deadline(deadline);
  Response response;
  grpc::Status status;
  const auto reader = prepare(&context, queue.get());
  reader->StartCall();
  reader->Finish(&response, &status, &context);
  co_await queue.finish(context);
  if (!status.ok()) throw_call_error(status);
  co_return response;
}

}  // namespace nalto::runtime
