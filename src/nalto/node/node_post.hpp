#pragma once

#include <string>

#include "nalto/support/json.hpp"

namespace nalto {

// POSTs `body` as JSON to compute_url() + "/ml/" + `path` with the node's authentication headers and
// answers the parsed JSON. Blocking: run it on a worker thread (run_blocking), where a cancellation
// aborts it at once. The node's refusals (401, 404, 409, 422) become PublishReportError.
Json _node_post(const std::string& path, const Json& body, double timeout);

// The same with a body already serialised, for bodies too large to build as a tree first.
Json node_post_serialized(const std::string& path, const std::string& body, double timeout);

}  // namespace nalto
