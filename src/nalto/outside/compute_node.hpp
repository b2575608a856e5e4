#pragma once

#include <asio/awaitable.hpp>
#include <string>
#include <utility>
#include <vector>

#include "nalto/outside/platform.hpp"
#include "nalto/support/json.hpp"

namespace nalto::outside {

// The dataset commands' compute-node support, read anew at every call.

// NALTO_COMPUTE_URL, default "http://127.0.0.1:8470".
std::string compute_url();

// Authorization: Bearer $NALTO_COMPUTE_TOKEN (nothing when the token is unset or empty).
std::vector<std::pair<std::string, std::string>> _auth_headers();

// GET compute_url() + "/ml/datasets/" + escaped ref -> {id, name, cycles: {count}};
// an unknown dataset -> PublishReportError.
asio::awaitable<Json> resolve_local_dataset(PlatformApi& api, std::string org_id, std::string dataset_ref);

// The same for the commands that use no platform.
asio::awaitable<Json> resolve_node_dataset(std::string dataset_ref);

}  // namespace nalto::outside
