#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "nalto/support/json.hpp"

// What publish and score read alike from the compute node's answer.
namespace nalto {

// The answer's warnings, as texts.
std::vector<std::string> warnings_of(const Json& result);

// The diagnostics' hints, as texts; none when the node gave none, or no list.
std::vector<std::string> hints_of(const Json& result);

// The evaluation: the artifact's for a publish, the answer's own for a score; null without one.
const Json& evaluation_of(const Json& result);

// The episodes scored: the artifact's, or the answer's dataset's for a score.
std::size_t episodes_of(const Json& result);

// The diagnostics of the evaluation's `sensor` (matched by its key); null without them.
const Json* diagnosis_of(const Json& result, const Json& sensor);

// "warning: TEXT", dimmed, one line each.
void print_warnings(const std::vector<std::string>& warnings);

// "✓ Analyzed N episodes: score X" ("-" without a score).
void print_score_line(std::size_t episodes, const Json* score);

// The evidence page the node wrote for a request that asked for one: its id and path, or, both empty,
// why it wrote none.
struct EvidencePage {
  Json id;
  std::string path, refused;
};

// The answer's page; absent when it tells of none (none was asked for).
std::optional<EvidencePage> evidence_page_of(const Json& result);

// The warning a page that was asked for and not written makes; none otherwise.
std::vector<std::string> evidence_page_warnings(const Json& result);

// "Evidence page: PATH", or the warning of a page not written.
void print_evidence_page(const EvidencePage& page);

// Why nothing was scored: the warnings joined (at most 500 code points), else `otherwise`.
std::string nothing_scored_reason(const std::vector<std::string>& warnings, const std::string& otherwise);

}  // namespace nalto
