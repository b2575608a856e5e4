#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "nalto/support/json.hpp"

namespace nalto {

using SlotColumn = std::pair<std::optional<std::string>, std::string>;  // (sim slot name, node column key)

// What the analysis replays and reads, joined from the sim's mappings and the node's dataset columns.
struct Plan {  // immutable: built once by plan_analysis
  const std::vector<SlotColumn> sensors;
  const std::vector<SlotColumn> actions;
  const std::vector<std::string> core;
};

// Joins the sim's mappings with the node's columns by name identity. Refuses with
// PublishReportError when a sim action has no column or no sim sensor has one.
Plan plan_analysis(const Json& mappings, const Json& columns);

// A name as a quoted literal for messages: 'name', or "name" when it holds a ' and no "; escapes
// for backslash, the quote, \t \n \r and the non-printable characters (\x, \u or \U, shortest).
std::string quoted_literal(std::string_view name);

}  // namespace nalto
