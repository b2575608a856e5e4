#include "cli/plan_table.hpp"

#include <string>
#include <vector>

#include "nalto/mapping/plan.hpp"
#include "nalto/support/strings.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto::cli {

namespace {

constexpr const char* NONE = "[dim]none[/dim]";

std::string quoted_or_none(const std::optional<std::string>& text) {
  return text ? markup_literal(quoted_literal(*text)) : NONE;
}

std::vector<std::string> quoted_all(const std::vector<std::string>& names) {
  std::vector<std::string> quoted;
  for (const std::string& name : names) quoted.push_back(markup_literal(quoted_literal(name)));
  return quoted;
}

std::string closest_note(const std::vector<std::string>& closest) {
  return closest.empty() ? std::string() : "; closest: " + join(quoted_all(closest), ", ");
}

}  // namespace

Table plan_table(const check::ColumnPlan& plan, std::string_view dataset_name) {
  Table table("Plan against '" + markup_literal(utf8::echo(dataset_name)) + "'",
              {"Sim", "Name", "Slot", "Dataset column", "Note"});
  for (const check::PlannedSlot& sensor : plan.sensors)
    table.add_row({"sensor", markup_literal(quoted_literal(sensor.name)),
                   markup_literal(sensor.slot.value_or("")), quoted_or_none(sensor.column),
                   sensor.column
                       ? "scored"
                       : "[yellow]not scored: no sensor column[/yellow]" + closest_note(sensor.closest)});
  for (const check::PlannedSlot& action : plan.actions) {
    std::string note = "replayed";
    if (!action.column) note = "[red]no action column[/red]" + closest_note(action.closest);
    table.add_row({"action", markup_literal(quoted_literal(action.name)),
                   markup_literal(action.slot.value_or("")), quoted_or_none(action.column), std::move(note)});
  }
  for (const std::string& column : plan.unscored)
    table.add_row(
        {NONE, "", "", markup_literal(quoted_literal(column)), "[yellow]not scored: no sim sensor[/yellow]"});
  return table;
}

Table plan_table(const Json& mappings, const Json& columns, std::string_view dataset_name) {
  return plan_table(check::plan_columns(mappings, columns), dataset_name);
}

}  // namespace nalto::cli
