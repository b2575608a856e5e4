#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nalto {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct HttpResponse {
  long status = 0;
  std::string body;
};

// Initialises libcurl, and OpenSSL with it, once. A program calls it on its main thread before its
// first request: OpenSSL's process-wide clean-up then runs after the worker threads have ended, so
// their per-thread state is freed with them. A request initialises it too, when nobody did.
void init_http();

// One blocking HTTP request over libcurl, meant for a worker thread (run_blocking): it is aborted
// at once when current_stop_token() asks for a stop. A JSON body is sent with its content type.
// Failures: ConnectError (the peer cannot be reached), ReadTimeout (`timeout_s` passed), the
// cancellation when aborted. Statuses are not interpreted.
HttpResponse http_request(std::string_view method, const std::string& url, const Headers& headers,
                          std::optional<std::string_view> json_body, double timeout_s);

// A request body written while it is sent: each call fills up to `capacity` bytes at `out` and answers
// how many, 0 at the body's end. It runs on the request's thread; what it throws fails the request.
using BodyWriter = std::function<std::size_t(char* out, std::size_t capacity)>;

// The same with a JSON body that `json_body` writes as it goes, sent in chunks: the body is never
// whole in memory.
HttpResponse http_request(std::string_view method, const std::string& url, const Headers& headers,
                          const BodyWriter& json_body, double timeout_s);

// The explanation in a refusal's body: its JSON `detail` member as text, or else the whole body text.
std::string refusal_detail(const std::string& body);

// The compute node's refusals (401, 404, 409, 422) -> PublishReportError "The compute node refused the
// analysis: " + detail; any other status >= 400 -> HTTPStatusError. Other statuses pass.
void raise_for_refusal(const HttpResponse& response, const std::string& url);

}  // namespace nalto
