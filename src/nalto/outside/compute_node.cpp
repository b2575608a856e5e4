#include "nalto/outside/compute_node.hpp"

#include <cstdlib>

#include "nalto/support/async.hpp"
#include "nalto/support/hex.hpp"
#include "nalto/support/http.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto::outside {

namespace {

// Looking a dataset up is a small read; a node that takes longer is not answering.
constexpr double DATASET_LOOKUP_TIMEOUT_S = 30;

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

std::string compute_url() {
  std::string url = environment("NALTO_COMPUTE_URL");
  return url.empty() ? "http://127.0.0.1:8470" : url;
}

std::vector<std::pair<std::string, std::string>> _auth_headers() {
  const std::string token = environment("NALTO_COMPUTE_TOKEN");
  if (token.empty()) return {};
  // A line break would end the header and start another of the token's making.
  if (token.find_first_of("\r\n") != std::string::npos)
    throw PublishReportError(
        "NALTO_COMPUTE_TOKEN holds a line break: set it to the compute node's token alone");
  return {{"Authorization", "Bearer " + token}};
}

asio::awaitable<Json> resolve_local_dataset(PlatformApi&, std::string, std::string dataset_ref) {
  co_return co_await resolve_node_dataset(std::move(dataset_ref));
}

asio::awaitable<Json> resolve_node_dataset(std::string dataset_ref) {
  struct Answer {
    std::string base, url;
    HttpResponse response;
  };
  auto lookup = [dataset_ref] {
    Answer answer;
    answer.base = compute_url();
    answer.url = answer.base + "/ml/datasets/" + percent_encode(dataset_ref);
    answer.response =
        http_request("GET", answer.url, _auth_headers(), std::nullopt, DATASET_LOOKUP_TIMEOUT_S);
    return answer;
  };
  const Answer answer = co_await run_blocking(std::move(lookup));
  if (answer.response.status == 404)
    throw PublishReportError("The compute node at " + url_shown(answer.base) + " has no dataset '" +
                             utf8::echo(dataset_ref) + "'");
  raise_for_refusal(answer.response, answer.url);
  co_return parse_json(answer.response.body);
}

}  // namespace nalto::outside
