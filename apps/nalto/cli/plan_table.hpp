#pragma once

#include <string_view>

#include "nalto/check/columns.hpp"
#include "nalto/console/console.hpp"
#include "nalto/support/json.hpp"

namespace nalto::cli {

// How the sim's mappings meet the dataset's columns, as a table: each sim sensor and action with its
// slot and the column it matches (raw name) or none, then the dataset's sensor columns that no sim
// sensor matches; a sensor or an action without a column lists the closest columns of its role.
Table plan_table(const check::ColumnPlan& plan, std::string_view dataset_name);

// The same from the sim's mappings (as sim_mappings answers them) and the node's columns answer.
Table plan_table(const Json& mappings, const Json& columns, std::string_view dataset_name);

}  // namespace nalto::cli
