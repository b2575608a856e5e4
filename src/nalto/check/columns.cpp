#include "nalto/check/columns.hpp"

#include <algorithm>
#include <numeric>
#include <set>
#include <utility>

#include "nalto/mapping/names.hpp"
#include "nalto/mapping/plan.hpp"
#include "nalto/support/strings.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto::check {

namespace {

struct Column {
  std::string key, raw_name, identity;
};

std::vector<Column> columns_of(const Json& columns, std::string_view role) {
  const Json& raw = subscript(columns, "raw_names");
  std::vector<Column> out;
  for (const Json& key : as_list(subscript(columns, role), role)) {
    const std::string& text = key.get_ref<const std::string&>();
    const std::string raw_name = subscript(raw, text).get<std::string>();
    out.push_back({text, raw_name, normalized(raw_name)});
  }
  return out;
}

// The first column, in list order, whose identity is one of the mapping's names, tried in turn.
const Column* match(const Json& mapping, const std::vector<Column>& columns) {
  for (const std::string& name : mapping_names(mapping)) {
    const std::string identity = normalized(name);
    const auto found = std::find_if(columns.begin(), columns.end(),
                                    [&identity](const Column& c) { return c.identity == identity; });
    if (found != columns.end()) return &*found;
  }
  return nullptr;
}

PlannedSlot planned(const Json& mapping, const Column* column) {
  std::optional<std::string> name = _field(mapping, "name_mapped");
  if (!name) name = _field(mapping, "name");
  PlannedSlot slot{.name = name.value_or(""), .slot = _field(mapping, "name")};
  if (column) slot.column = column->raw_name;
  return slot;
}

std::string quoted_names(const std::vector<std::string>& names) {
  std::vector<std::string> quoted;
  for (const std::string& name : names) quoted.push_back(quoted_literal(name));
  return join(quoted, ", ");
}

Json unmatched_of(const std::vector<PlannedSlot>& slots) {
  Json listed = Json::array();
  for (const PlannedSlot& slot : slots)
    if (!slot.column) listed.push_back({{"name", slot.name}, {"closest", slot.closest}});
  return listed;
}

std::vector<char32_t> code_points(std::string_view text) {
  std::vector<char32_t> out;
  for (std::size_t pos = 0; pos < text.size();) {
    const utf8::Step step = utf8::decode(text, pos);
    out.push_back(step.code_point);
    pos += step.length;
  }
  return out;
}

}  // namespace

ColumnPlan plan_columns(const Json& mappings, const Json& columns) {
  const std::vector<Column> sensor_columns = columns_of(columns, "sensor_variables");
  const std::vector<Column> action_columns = columns_of(columns, "action_variables");
  ColumnPlan plan;
  std::set<std::string> scored;
  std::vector<std::string> sensor_names;
  for (const Column& column : sensor_columns) sensor_names.push_back(column.raw_name);
  for (const Json& mapping : as_list(subscript(mappings, "sensors"), "sensors")) {
    const Column* column = match(mapping, sensor_columns);
    PlannedSlot slot = planned(mapping, column);
    if (column) {
      scored.insert(column->key);
    } else {
      slot.closest = closest_names(slot.name, sensor_names);
    }
    plan.sensors.push_back(std::move(slot));
  }
  for (const Column& column : sensor_columns)
    if (!scored.contains(column.key)) plan.unscored.push_back(column.raw_name);

  std::vector<std::string> action_names;
  for (const Column& column : action_columns) action_names.push_back(column.raw_name);
  for (const Json& mapping : as_list(subscript(mappings, "actions"), "actions")) {
    const Column* column = match(mapping, action_columns);
    PlannedSlot slot = planned(mapping, column);
    if (!column) slot.closest = closest_names(slot.name, action_names);
    plan.actions.push_back(std::move(slot));
  }
  return plan;
}

std::vector<std::string> unmatched_sensor_lines(const ColumnPlan& plan) {
  std::vector<std::string> lines;
  for (const PlannedSlot& sensor : plan.sensors) {
    if (sensor.column) continue;
    std::string line =
        "the sim's sensor " + quoted_literal(sensor.name) + " matches no dataset column, so it is not scored";
    if (!sensor.closest.empty()) line += "; closest: " + quoted_names(sensor.closest);
    lines.push_back(std::move(line));
  }
  return lines;
}

std::vector<std::string> unmatched_action_lines(const ColumnPlan& plan) {
  std::vector<std::string> lines;
  for (const PlannedSlot& action : plan.actions)
    if (!action.column && !action.closest.empty())
      lines.push_back("Closest action columns to " + quoted_literal(action.name) + ": " +
                      quoted_names(action.closest));
  return lines;
}

Json unmatched_json(const ColumnPlan& plan) {
  return {{"sensors", unmatched_of(plan.sensors)}, {"actions", unmatched_of(plan.actions)}};
}

std::size_t edit_distance(std::string_view a, std::string_view b) {
  const std::vector<char32_t> x = code_points(a), y = code_points(b);
  std::vector<std::size_t> row(y.size() + 1);
  std::iota(row.begin(), row.end(), std::size_t{0});
  for (std::size_t i = 1; i <= x.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= y.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (x[i - 1] == y[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[y.size()];
}

std::vector<std::string> closest_names(std::string_view name, const std::vector<std::string>& candidates,
                                       std::size_t most) {
  const std::string identity = normalized(name);
  std::vector<std::pair<std::size_t, std::size_t>> ranked;  // (distance, position)
  for (std::size_t i = 0; i < candidates.size(); ++i)
    ranked.emplace_back(edit_distance(identity, normalized(candidates[i])), i);
  std::stable_sort(ranked.begin(), ranked.end());
  std::vector<std::string> out;
  for (std::size_t i = 0; i < ranked.size() && i < most; ++i) out.push_back(candidates[ranked[i].second]);
  return out;
}

}  // namespace nalto::check
