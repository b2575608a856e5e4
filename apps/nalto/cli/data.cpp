#include "cli/data.hpp"

#include <cstdlib>
#include <memory>
#include <optional>

#include "nalto/support/async.hpp"
#include "nalto/support/hex.hpp"
#include "nalto/support/http.hpp"
#include "nalto/support/strings.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto::cli {

namespace {

// A listing or one dataset's counts is a small read; a node that takes longer is not answering.
constexpr int NODE_REQUEST_TIMEOUT_S = 30;
constexpr std::size_t MAX_DETAIL_CHARS = 500;

// Where the address came from, as the messages name it.
std::string address_of(const std::string& base) {
  const char* set = std::getenv("NALTO_COMPUTE_URL");
  const std::string shown = url_shown(base);
  return set && *set ? "NALTO_COMPUTE_URL=" + shown
                     : shown + " (the default, as NALTO_COMPUTE_URL is not set)";
}

// What one GET to the node came to: its response, or why there is none, as the user reads it.
struct NodeAnswer {
  HttpResponse response;
  std::optional<std::string> unreachable;
};

NodeAnswer get(const std::string& base, const std::string& path) {
  NodeAnswer answer;
  try {
    answer.response =
        http_request("GET", base + path, outside::_auth_headers(), std::nullopt, NODE_REQUEST_TIMEOUT_S);
  } catch (const ConnectError& e) {
    answer.unreachable = "No compute node answers at " + address_of(base) + ": " + e.what() +
                         ".\nStart one with `nalto-compute-node --datasets DIR` (it prints its address; "
                         "give it the NALTO_COMPUTE_TOKEN you use, in its environment or in a --token-file), "
                         "or set NALTO_COMPUTE_URL "
                         "to the address of the one that runs.";
  } catch (const ReadTimeout&) {
    answer.unreachable = "The compute node at " + address_of(base) + " did not answer within " +
                         std::to_string(NODE_REQUEST_TIMEOUT_S) +
                         " seconds: check that NALTO_COMPUTE_URL names a running `nalto-compute-node`.";
  }
  return answer;
}

std::string refusal_text(const std::string& base, const HttpResponse& response, const std::string& on_404) {
  const std::string detail(utf8::prefix(refusal_detail(response.body), MAX_DETAIL_CHARS));
  return "The compute node at " + url_shown(base) + " refused the request (HTTP " +
         std::to_string(response.status) + "): " + detail + (response.status == 404 ? on_404 : "");
}

// The node's JSON answer to GET `path`, shown as `doing` while it is awaited; absent when there is
// none, which is then explained on stderr.
asio::awaitable<std::optional<Json>> node_get(std::string path, std::string doing, std::string on_404) {
  const std::string base = outside::compute_url();
  const Status status = console().status(doing, outside::status_trace());
  auto request = [base, path] { return get(base, path); };
  const NodeAnswer answer = co_await run_blocking(std::move(request));
  if (answer.unreachable) {
    console().note(markup_literal(*answer.unreachable));
    co_return std::nullopt;
  }
  if (answer.response.status >= 400) {
    console().note(markup_literal(refusal_text(base, answer.response, on_404)));
    co_return std::nullopt;
  }
  co_return parse_json(answer.response.body);
}

// A value from the node as a table cell: shown as it stands, never as mark-up.
std::string cell(const Json& value) {
  return value.is_null() ? "" : markup_literal(plain_text(value));
}

void print_datasets(const Json& answer, const std::string& base) {
  const Json& datasets = as_list(subscript(answer, "datasets"), "'datasets'");
  if (datasets.empty()) {
    console().print("[yellow]The compute node at " + markup_literal(base) +
                    " has no datasets: add a folder holding dataset.json and rows.csv to its --datasets "
                    "folder, and it is listed here.[/yellow]");
  } else {
    Table table("Datasets on the compute node at " + markup_literal(base),
                {"Name", "Id", "Episodes", "Rows"});
    for (const Json& dataset : datasets)
      table.add_row({cell(subscript(dataset, "name")), cell(subscript(dataset, "id")),
                     cell(subscript(subscript(dataset, "cycles"), "count")),
                     cell(subscript(dataset, "n_rows"))});
    console().print(table);
  }
  if (const Json* skipped = lookup(answer, "skipped")) {
    for (const Json& folder : as_list(*skipped, "'skipped'"))
      console().print("[yellow]Skipped the folder " +
                      markup_literal(single_quoted(plain_text(subscript(folder, "folder")))) + ": " +
                      markup_literal(plain_text(subscript(folder, "reason"))) + "[/yellow]");
  }
  if (!datasets.empty())
    console().print("[dim]`nalto data stats NAME` shows a dataset's episodes and columns.[/dim]");
}

std::string episodes_line(const Json& stats) {
  const Json& episodes = subscript(stats, "episodes");
  const Json& rows = subscript(episodes, "rows");
  const Json& count = subscript(episodes, "count");
  std::string line = plain_text(count) + (count == 1 ? " episode, " : " episodes, ") +
                     plain_text(subscript(stats, "n_rows")) +
                     (subscript(stats, "n_rows") == 1 ? " row" : " rows");
  if (!subscript(rows, "min").is_null())
    line += "; rows per episode: min " + plain_text(subscript(rows, "min")) + ", median " +
            plain_text(subscript(rows, "median")) + ", max " + plain_text(subscript(rows, "max"));
  return markup_literal(line);
}

void print_stats(const Json& stats, const std::string& base) {
  console().print("Dataset " + markup_literal(single_quoted(plain_text(subscript(stats, "name")))) + " (id " +
                  markup_literal(plain_text(subscript(stats, "id"))) + ") on the compute node at " +
                  markup_literal(base));
  console().print(episodes_line(stats));
  Table table("Columns", {"Key", "Raw name", "Role", "Missing", "Min", "Max"});
  for (const Json& column : as_list(subscript(stats, "columns"), "'columns'")) {
    const bool action = plain_text(subscript(column, "role")) == "action";
    table.add_row({cell(subscript(column, "key")), cell(subscript(column, "raw_name")),
                   cell(subscript(column, "role")), cell(subscript(column, "missing")),
                   action ? cell(subscript(column, "min")) : "",
                   action ? cell(subscript(column, "max")) : ""});
  }
  console().print(table);
  console().print(
      "[dim]Sensor values stay on the compute node: of a sensor column only its missing cells are "
      "counted.[/dim]");
}

// The requests' texts are locals: GCC 12 may destroy temporaries of a co_await's arguments twice.
asio::awaitable<int> list_datasets() {
  std::string path = "/ml/datasets", doing = "Asking the compute node for its datasets...", on_404;
  const std::optional<Json> answer = co_await node_get(std::move(path), std::move(doing), std::move(on_404));
  if (!answer) co_return 1;
  print_datasets(*answer, url_shown(outside::compute_url()));
  co_return 0;
}

asio::awaitable<int> dataset_stats(std::string ref) {
  std::string path = "/ml/dataset-stats/" + percent_encode(ref);
  std::string doing =
      "Asking the compute node for the counts of " + markup_literal(single_quoted(utf8::echo(ref))) + "...";
  std::string on_404 = "; `nalto data list` shows the datasets it has.";
  const std::optional<Json> answer = co_await node_get(std::move(path), std::move(doing), std::move(on_404));
  if (!answer) co_return 1;
  print_stats(*answer, url_shown(outside::compute_url()));
  co_return 0;
}

constexpr const char* INTERRUPTED = "Interrupted: the request to the compute node was stopped.";

}  // namespace

CLI::App* add_data_list(CLI::App& data, std::function<void(DataList)> chosen) {
  CLI::App* app = data.add_subcommand("list", "List the compute node's datasets");
  app->footer(
      "Lists the datasets of the compute node at $NALTO_COMPUTE_URL (default http://127.0.0.1:8470), "
      "with their ids, episodes and rows. The node looks for new dataset folders at every listing.");
  app->callback([chosen] { chosen(DataList{}); });
  return app;
}

CLI::App* add_data_stats(CLI::App& data, std::function<void(DataStats)> chosen) {
  const auto given = std::make_shared<DataStats>();
  CLI::App* app = data.add_subcommand("stats", "Show a dataset's episodes and columns");
  app->footer(
      "Shows a dataset of the compute node at $NALTO_COMPUTE_URL: its episodes (rows per episode), its "
      "columns with their missing cells, and the range of each action column. Sensor values never leave "
      "the node.");
  app->add_option("NAME", given->dataset_ref, "The dataset's name or id, as `nalto data list` shows it")
      ->required();
  app->callback([given, chosen] { chosen(*given); });
  return app;
}

Outcome run_data_list(const DataList&) {
  return run_interruptible(list_datasets(), INTERRUPTED);
}

Outcome run_data_stats(const DataStats& invocation) {
  return run_interruptible(dataset_stats(invocation.dataset_ref), INTERRUPTED);
}

}  // namespace nalto::cli
