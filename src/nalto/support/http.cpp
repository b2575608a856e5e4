#include "nalto/support/http.hpp"

#include <curl/curl.h>

#include <algorithm>
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

// What the write callback needs: the body, and the handle to read the declared length from.
struct Collected {
  CURL* handle;
  detail::AnswerBody body;
  bool started = false;
  bool too_large = false;
};

std::size_t collect(char* data, std::size_t size, std::size_t n, void* out) {
  auto& collected = *static_cast<Collected*>(out);
  if (!collected.started) {
    collected.started = true;
    // libcurl has refused a declared length over the cap before any byte comes; a length within it
    // is room made once.
    curl_off_t length = -1;
    if (curl_easy_getinfo(collected.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
        length > 0 && !collected.body.expect(static_cast<std::size_t>(length))) {
      collected.too_large = true;
      return 0;
    }
  }
  if (!collected.body.append(data, size * n)) {
    collected.too_large = true;
    return 0;  // aborts the transfer
  }
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
                     std::size_t max_answer_bytes, const std::exception_ptr* body_failure) {
  init_http();
  const std::string shown = url_shown(url);
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy) throw ConnectError("could not create an HTTP handle (" + shown + ")");
  CURL* h = easy.get();

  std::unique_ptr<curl_slist, ListDeleter> list;
  auto add_header = [&](const std::string& line) {
    curl_slist* next = curl_slist_append(list.get(), line.c_str());
    if (!next) throw ConnectError("could not build the request headers (" + shown + ")");
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
  // A declared Content-Length over the cap is refused from the headers, before the body is read.
  check(curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(max_answer_bytes)));
  check(curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &collect));
  Collected collected{.handle = h, .body = detail::AnswerBody(response.body, max_answer_bytes)};
  check(curl_easy_setopt(h, CURLOPT_WRITEDATA, &collected));

  const CURLcode code = Transfer(h).run(token);
  if (body_failure && *body_failure) std::rethrow_exception(*body_failure);
  if (collected.too_large || code == CURLE_FILESIZE_EXCEEDED)
    throw ConnectError(detail::too_large_text(max_answer_bytes, shown));
  if (code == CURLE_OPERATION_TIMEDOUT)
    throw ReadTimeout(std::string(curl_easy_strerror(code)) + " (" + shown + ")");
  if (code != CURLE_OK) throw ConnectError(std::string(curl_easy_strerror(code)) + " (" + shown + ")");
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status);
  return response;
}

const Headers JSON_CONTENT = {{"Content-Type", "application/json"}};

}  // namespace

HttpResponse http_request(std::string_view method, const std::string& url, const Headers& headers,
                          std::optional<std::string_view> json_body, double timeout_s,
                          std::size_t max_answer_bytes) {
  if (!json_body) return perform(method, url, headers, {}, {}, timeout_s, max_answer_bytes, nullptr);
  auto set_body = [json_body](CURL* h) {
    check(curl_easy_setopt(h, CURLOPT_POSTFIELDS, json_body->data()));
    check(curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(json_body->size())));
  };
  return perform(method, url, headers, JSON_CONTENT, set_body, timeout_s, max_answer_bytes, nullptr);
}

HttpResponse http_request(std::string_view method, const std::string& url, const Headers& headers,
                          const BodyWriter& json_body, double timeout_s, std::size_t max_answer_bytes) {
  Sending sending{json_body, nullptr};
  auto set_body = [&sending](CURL* h) {
    check(curl_easy_setopt(h, CURLOPT_POST, 1L));
    check(curl_easy_setopt(h, CURLOPT_READFUNCTION, &send_part));
    check(curl_easy_setopt(h, CURLOPT_READDATA, &sending));
  };
  Headers chunked = JSON_CONTENT;
  chunked.emplace_back("Transfer-Encoding", "chunked");
  return perform(method, url, headers, chunked, set_body, timeout_s, max_answer_bytes, &sending.failure);
}

std::string url_shown(std::string_view url) {
  const std::size_t scheme = url.find("://");
  const std::size_t host = scheme == std::string_view::npos ? 0 : scheme + 3;
  const std::size_t authority_end = std::min(url.find_first_of("/?#", host), url.size());
  const std::size_t at = url.substr(host, authority_end - host).rfind('@');
  if (at == std::string_view::npos) return utf8::echo(url);
  // The user part may be a token by itself: it goes whole.
  return utf8::echo(std::string(url.substr(0, host)) + "***" + std::string(url.substr(host + at)));
}

namespace detail {

bool AnswerBody::expect(std::size_t length) {
  if (length > cap_) return false;
  if (length > body_.capacity()) grow_to(length);
  return true;
}

bool AnswerBody::append(const char* data, std::size_t n) {
  if (n > cap_ - body_.size()) return false;
  const std::size_t needed = body_.size() + n;
  if (needed > body_.capacity()) grow_to(std::min(cap_, std::max(needed, 2 * body_.capacity())));
  body_.append(data, n);
  return true;
}

void AnswerBody::grow_to(std::size_t capacity) {
  // A fresh string's reserve takes what it is asked for; growing a full one may double instead.
  std::string larger;
  larger.reserve(capacity);
  larger.append(body_);
  body_.swap(larger);
}

std::string too_large_text(std::size_t cap, std::string_view url) {
  constexpr std::size_t MIB = std::size_t{1} << 20;
  const std::string size =
      cap >= MIB && cap % MIB == 0 ? std::to_string(cap / MIB) + " MiB" : std::to_string(cap) + " bytes";
  return "the answer is larger than " + size + " (" + std::string(url) + ")";
}

}  // namespace detail

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
    std::string message = "HTTP status " + std::to_string(response.status) + " for " + url_shown(url);
    const std::string_view excerpt = utf8::prefix(response.body, 200);
    if (!excerpt.empty()) message += ": " + std::string(excerpt);
    throw HTTPStatusError(static_cast<int>(response.status), std::move(message));
  }
}

}  // namespace nalto
