#include "nalto/node/node_post.hpp"

#include "nalto/outside/compute_node.hpp"
#include "nalto/support/http.hpp"

namespace nalto {

namespace {

template <class Body>
Json post(const std::string& path, const Body& body, double timeout) {
  const std::string url = outside::compute_url() + "/ml/" + path;
  const HttpResponse response = http_request("POST", url, outside::_auth_headers(), body, timeout);
  raise_for_refusal(response, url);
  return parse_json(response.body);
}

}  // namespace

Json _node_post(const std::string& path, const Json& body, double timeout) {
  const std::string text = dump_json(body);
  return post(path, std::optional<std::string_view>(text), timeout);
}

Json node_post_streamed(const std::string& path, const BodyWriter& body, double timeout) {
  return post(path, body, timeout);
}

}  // namespace nalto
