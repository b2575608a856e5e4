#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nalto/support/json.hpp"

// How a sim's mappings meet a dataset's columns, told in full: what a publish would replay and
// score, and what it would leave out or refuse.
namespace nalto::check {

// One sim mapping and the dataset column it matches, by the same rule as plan_analysis.
struct PlannedSlot {
  std::string name;                   // the mapping's mapped name, else its slot
  std::optional<std::string> slot;    // its slot name
  std::optional<std::string> column;  // the matching column's raw name; absent: none
  // For a mapping without a column: the raw names of the closest columns of its role, closest first.
  std::vector<std::string> closest;
  bool operator==(const PlannedSlot&) const = default;
};

struct ColumnPlan {
  std::vector<PlannedSlot> sensors, actions;
  std::vector<std::string> unscored;  // raw names of the sensor columns no sim sensor matches
};

// "the sim's sensor 'Valve Opening' matches no dataset column, so it is not scored; closest: 'valve
// position', 'level'": a line for each sim sensor without a column.
std::vector<std::string> unmatched_sensor_lines(const ColumnPlan& plan);

// "Closest action columns to 'Valve Opening': 'valve position', 'pump'": a line for each sim action
// without a column that has any, to follow the plan's refusal.
std::vector<std::string> unmatched_action_lines(const ColumnPlan& plan);

// {"sensors": [{"name", "closest"}], "actions": [...]}: the sim's mappings without a column.
Json unmatched_json(const ColumnPlan& plan);

// `mappings` as sim_mappings answers it, `columns` as the node's analysis-actions answer.
ColumnPlan plan_columns(const Json& mappings, const Json& columns);

// Edits (insert, delete, replace one code point) that turn `a` into `b`.
std::size_t edit_distance(std::string_view a, std::string_view b);

// Up to `most` of `candidates` nearest to `name` by edit distance over normalized names, nearest
// first (ties in the candidates' order).
std::vector<std::string> closest_names(std::string_view name, const std::vector<std::string>& candidates,
                                       std::size_t most = 3);

}  // namespace nalto::check
