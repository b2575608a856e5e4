#include <chrono>
#include <cstdio>
#include <vector>

#include "nalto/console/console.hpp"
#include "nalto/main/sim_publish_report.hpp"
#include "nalto/outside/logging.hpp"
#include "nalto/support/async.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto {

namespace {

bool text_equals(const Json* value, std::string_view text) {
  return value && value->is_string() && value->get_ref<const std::string&>() == text;
}

bool build_failed(const Json& status) {
  return text_equals(lookup(status, "buildStatus"), "ERROR");
}

bool build_mapped(const Json& status) {
  const Json* mapped = lookup(status, "buildMapped");
  return mapped && truthy(*mapped);
}

bool writing_ended(const Json& status) {
  const Json* event = lookup(status, "eventStatus");
  return text_equals(event, "done") || text_equals(event, "failed");
}

const Json& runs_of(const Json& status) {
  static const Json none = Json::array();
  const Json* runs = lookup(status, "runs");
  if (!runs) return none;
  return as_list(*runs, "the job's 'runs'");
}

bool run_settled(const Json& run) {
  const Json& status = subscript(run, "status");
  return status.is_string() && (status == "ready" || status == "failed");
}

// Runs are examined in order, and only once the writing as a whole has ended.
bool settled(const Json& status, const Json& runs) {
  if (!writing_ended(status)) return false;
  for (const Json& run : runs)
    if (!run_settled(run)) return false;
  return true;
}

std::string report_cell(const Json& run) {
  const Json& status = subscript(run, "status");
  if (status == "ready") return "[green]ready[/green]";
  if (status == "failed") {
    const Json* code = lookup(run, "failureCode");
    return "[red]failed (" +
           (code && truthy(*code) ? markup_literal(plain_text(*code)) : std::string("unknown")) + ")[/red]";
  }
  return markup_literal(plain_text(status));
}

std::string score_cell(const Json& run) {
  const Json* score = lookup(run, "score");
  if (!score) return "-";
  if (!score->is_number())
    throw TypeError("expected a report's 'score' to be a number, got " + kind_name(*score));
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.1f", score->get<double>());
  return buf;
}

}  // namespace

asio::awaitable<Json> wait_for_reports(outside::PlatformApi& api, std::string org_id, std::string sim_id,
                                       std::string implementation_id, std::string job_id) {
  const auto deadline = std::chrono::steady_clock::now() + to_duration(timing().report_timeout_s);
  const Status spinner = console().status("Writing the simulation report...", outside::status_trace());
  for (;;) {
    Json status = co_await api.sims().publish_report_status(org_id, sim_id, implementation_id, job_id);
    // The reports are written only once the build lands; there is nothing to wait for before.
    if (build_failed(status) || !build_mapped(status)) co_return status;
    if (settled(status, runs_of(status)) || std::chrono::steady_clock::now() > deadline) co_return status;
    co_await sleep_for(timing().report_poll_s);
  }
}

void render_reports(const Json& status, std::string_view sim_name) {
  const std::string name = markup_literal(utf8::echo(sim_name));
  if (build_failed(status)) {
    console().print(
        "[red]The platform could not build '" + name +
        "', so no report will be written. Check it with `nalto sim list` and `nalto sim validate`.[/red]");
    return;
  }
  if (!build_mapped(status)) {
    console().print(
        "[green]✓[/green] Submitted. The platform is still building '" + name +
        "'; its simulation report appears under the Reports of each use case using it once the build "
        "is done.");
    return;
  }
  const Json& runs = runs_of(status);
  if (!settled(status, runs))
    console().print(
        "[yellow]The platform is still writing the report; it appears under the use case's Reports when it "
        "is "
        "done.[/yellow]");
  if (runs.empty()) {
    if (text_equals(lookup(status, "eventStatus"), "done"))
      console().print(
          "[yellow]No use case uses '" + name +
          "', so no report was written. Add the sim to a use case (or pass --project) and publish "
          "again.[/yellow]");
    return;
  }
  Table table("Simulation reports", {"Use case", "Report", "Score"});
  for (const Json& run : runs)
    table.add_row(
        {markup_literal(plain_text(subscript(run, "projectName"))), report_cell(run), score_cell(run)});
  console().print(table);
}

bool reports_written(const Json& status) {
  if (build_failed(status) || !build_mapped(status)) return false;
  const Json& runs = runs_of(status);
  return !runs.empty() && settled(status, runs);
}

}  // namespace nalto
