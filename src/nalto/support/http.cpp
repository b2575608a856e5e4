#include "nalto/support/http.hpp"

#include <curl/curl.h>

#include <cmath>
#include <memory>
#include <mutex>

#include "nalto/support/async.hpp"
#include "nalto/support/errors.hpp"
#include "nalto/support/json.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto {

void init_http() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

namespace {

struct EasyDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct ListDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

// The largest answer taken from a peer. The node's largest is the recorded actions of a whole dataset:
// hours of rows at 10 Hz take tens of MiB as JSON; a peer sending more is not answering.
constexpr std::size_t MAX_RESPONSE_BYTES = std::size_t{1} << 30;

struct Collected {
  std::string& body;
  bool too_large = false;
};

std::size_t collect(char* data, std::size_t size, std::size_t n, void* out) {
  auto& collected = *static_cast<Collected*>(out);
  if (collected.body.size() + size * n > MAX_RESPONSE_BYTES) {
    collected.too_large = true;
    return 0;  // aborts the transfer
  }
  collected.body.append(data, size * n);
  return size * n;
}

// Owns the multi handle that drives one easy handle, so a stop request can wake the wait at once.
class Transfer {
 public:
  explicit Transfer(CURL* easy) : easy_(easy), multi_(curl_multi_init()) {
    if (!multi_ || curl_multi_add_handle(multi_, easy_) != CURLM_OK) {
      if (multi_) curl_multi_cleanup(multi_);
      throw ConnectError("could not start an HTTP transfer");
    }
  }
  ~Transfer() {
    curl_multi_remove_handle(multi_, easy_);
    curl_multi_cleanup(multi_);
  }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // Runs the transfer to its end; a stop request aborts it within one wake-up.
  CURLcode run(const std::stop_token& token) {
    std::stop_callback wake(token, [this] { curl_multi_wakeup(multi_); });
    for (;;) {
      int running = 0;
      if (const CURLMcode mc = curl_multi_perform(multi_, &running); mc != CURLM_OK)
        throw ConnectError(curl_multi_strerror(mc));
      if (running == 0) break;
      if (token.stop_requested()) throw_cancelled();
      if (const CURLMcode mc = curl_multi_poll(multi_, nullptr, 0, 1000, nullptr); mc != CURLM_OK)
        throw ConnectError(curl_multi_strerror(mc));
      if (token.stop_requested()) throw_cancelled();
    }
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &queued))
      if (msg->msg == CURLMSG_DONE) return msg->data.result;
    return CURLE_RECV_ERROR;
  }

 private:
  CURL* easy_;
  CURLM* multi_;
};

void check(CURLcode code) {
  if (code != CURLE_OK) throw ConnectError(curl_easy_strerror(code));
}

// What a streamed body's writer threw, kept for the request's thread: it must not cross libcurl.
struct Sending {
  const BodyWriter& write;
  std::exception_ptr failure;
};

std::size_t send_part(char* buffer, std::size_t size, std::size_t n, void* out) {
  auto& sending = *static_cast<Sending*>(out);
  try {
    return sending.write(buffer, size * n);
  } catch (...) {
    sending.failure = std::current_exception();
    return CURL_READFUNC_ABORT;
  }
}

// One request whose body, if any, `set_body` gives the handle; `extra` headers come with it.
HttpResponse perform(std::string_view method, const std::string& url, const Headers& headers,
                     const Headers& extra, const std::function<void(CURL*)>& set_body, double timeout_s,
                     const std::exception_ptr* body_failure) {
  init_http();
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy) throw ConnectError("could not create an HTTP handle (" + url + ")");
  CURL* h = easy.get();

  std::unique_ptr<curl_slist, ListDeleter> list;
  auto add_header = [&](const std::string& line) {
    curl_slist* next = curl_slist_append(list.get(), line.c_str());
    if (!next) throw ConnectError("could not build the request headers (" + url + ")");
    (void)list.release();
    list.reset(next);
  };
  for (const Headers* group : {&headers, &extra}) {
    for (const auto& [name, value] : *group) {
      if ((name + value).find_first_of("\r\n") != std::string::npos)
        throw ValueError("an HTTP header holds a line break: " + name);
      add_header(name + ": " + value);
    }
  }
  add_header("Expect:");  // a large body is sent at once, not after a 100-continue round trip

  HttpResponse response;
  const std::stop_token token = current_stop_token();
  const long timeout_ms =
      std::isfinite(timeout_s) && timeout_s > 0 ? std::lround(std::ceil(timeout_s * 1000)) : 0;

  check(curl_easy_setopt(h, CURLOPT_URL, url.c_str()));
  check(curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, std::string(method).c_str()));
  if (method == "GET") check(curl_easy_setopt(h, CURLOPT_HTTPGET, 1L));
  if (set_body) set_body(h);
  check(curl_easy_setopt(h, CURLOPT_HTTPHEADER, list.get()));
  check(curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeout_ms));
  check(curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L));
  check(curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &collect));
  Collected collected{response.body};
  check(curl_easy_setopt(h, CURLOPT_WRITEDATA, &collected));

  const CURLcode code = Transfer(h).run(token);
  if (body_failure && *body_failure) std::rethrow_exception(*body_failure);
  if (collected.too_large)
    throw ConnectError("the answer is larger than " + std::to_string(MAX_RESPONSE_BYTES >> 20) + " MiB (" +
                       url + ")");
  if (code == CURLE_OPERATION_TIMEDOUT)
    throw ReadTimeout(std::string(curl_easy_strerror(code)) + " (" + url + ")");
  if (code != CURLE_OK) throw ConnectError(std::string(curl_easy_strerror(code)) + " (" + url + ")");
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status);
  return response;
}

const Headers JSON_CONTENT = {{"Content-Type", "application/json"}};

}  // namespace

HttpResponse http_request(std::string_view method, const std::string& url, const Headers& headers,
                          std::optional<std::string_view> json_body, double timeout_s) {
  if (!json_body) return perform(method, url, headers, {}, {}, timeout_s, nullptr);
  auto set_body = [json_body](CURL* h) {
    check(curl_easy_setopt(h, CURLOPT_POSTFIELDS, json_body->data()));
    check(curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(json_body->size())));
  };
  return perform(method, url, headers, JSON_CONTENT, set_body, timeout_s, nullptr);
}

HttpResponse http_request(std::string_view method, const std::string& url, const Headers& headers,
                          const BodyWriter& json_body, double timeout_s) {
  Sending sending{json_body, nullptr};
  auto set_body = [&sending](CURL* h) {
    check(curl_easy_setopt(h, CURLOPT_POST, 1L));
    check(curl_easy_setopt(h, CURLOPT_READFUNCTION, &send_part));
    check(curl_easy_setopt(h, CURLOPT_READDATA, &sending));
  };
  Headers chunked = JSON_CONTENT;
  chunked.emplace_back("Transfer-Encoding", "chunked");
  return perform(method, url, headers, chunked, set_body, timeout_s, &sending.failure);
}

std::string refusal_detail(const std::string& body) {
  Json parsed;
  try {
    parsed = parse_json(body);
  } catch (const JSONDecodeError&) {
    return body;
  }
  if (!parsed.is_object()) return body;
  const auto it = parsed.find("detail");
  if (it == parsed.end()) return body;
  return plain_text(*it);
}

void raise_for_refusal(const HttpResponse& response, const std::string& url) {
  switch (response.status) {
    case 401:
    case 404:
    case 409:
    case 422:
      throw PublishReportError("The compute node refused the analysis: " + refusal_detail(response.body));
    default:
      break;
  }
  if (response.status >= 400) {
    std::string message = "HTTP status " + std::to_string(response.status) + " for " + url;
    const std::string_view excerpt = utf8::prefix(response.body, 200);
    if (!excerpt.empty()) message += ": " + std::string(excerpt);
    throw HTTPStatusError(static_cast<int>(response.status), std::move(message));
  }
}

}  // namespace nalto
