#pragma once

#include <string>

#include "nalto/support/http.hpp"
#include "nalto/support/json.hpp"

namespace nalto {

// POSTs `body` as JSON to compute_url() + "/ml/" + `path` with the node's authentication headers and
// answers the parsed JSON. Blocking: run it on a worker thread (run_blocking), where a cancellation
// aborts it at once. The node's refusals (401, 404, 409, 422) become PublishReportError.
Json _node_post(const std::string& path, const Json& body, double timeout);

// The same with a body written while it is sent, for bodies too large to hold whole.
Json node_post_streamed(const std::string& path, const BodyWriter& body, double timeout);

}  // namespace nalto
