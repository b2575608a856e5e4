#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <string>

#include "nalto/support/json.hpp"

namespace nalto {

// Rolls the sim at `path` out over the dataset's episodes and has the compute node analyze the
// rollouts; returns the node's analysis.
asio::awaitable<Json> analyze(std::string path, Json claim, Json dataset, std::string bundle_sha256,
                              std::int64_t max_episodes, Json env_init, double call_timeout_s);

}  // namespace nalto
