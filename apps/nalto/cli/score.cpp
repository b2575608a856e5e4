#include "cli/score.hpp"

#include <algorithm>
#include <climits>
#include <memory>

#include "cli/options.hpp"
#include "cli/plan_table.hpp"
#include "cli/publish_view.hpp"
#include "cli/summary.hpp"
#include "nalto/main/answer.hpp"

namespace nalto::cli {

namespace {

constexpr const char* DESCRIPTION = "Score a sim against a dataset on the compute node, without the platform";

constexpr const char* DETAILS =
    "Replays the dataset's recorded actions through the sim and has the compute node ($NALTO_COMPUTE_URL, "
    "default http://127.0.0.1:8470) score its predictions against the recorded sensors, as a publish does, "
    "with nothing claimed, submitted or written to the platform's state. Prints the node's warnings, the "
    "diagnostics' hints, the score and the worst episodes; -v adds the plan, each sensor's score and "
    "diagnostics, and each episode's score.";

// Through the console and into the summary alike.
void warn(std::vector<std::string>& printed, const std::vector<std::string>& lines) {
  print_warnings(lines);
  printed.insert(printed.end(), lines.begin(), lines.end());
}

ScoreOptions options_for(const Score& invocation, RunRecord& record, std::vector<std::string>& warnings) {
  ScoreOptions options = invocation.options;
  options.hooks.mapped = [&record, &warnings](const Json& mappings, const Json& columns) {
    record.plan = check::plan_columns(mappings, columns);
    warn(warnings, check::unmatched_sensor_lines(*record.plan));
  };
  options.hooks.replay_failed = [&record](const ReplayEvidence& evidence) { record.evidence = evidence; };
  options.analyzed = [&record, &warnings](const Json& result) {
    record.result = result;
    for (const std::vector<std::string>& lines :
         {warnings_of(result), hints_of(result), evidence_page_warnings(result)})
      warnings.insert(warnings.end(), lines.begin(), lines.end());
  };
  if (invocation.verbose)
    options.hooks.planned = [&invocation](const Json& mappings, const Plan&, const Json& columns) {
      console().print(plan_table(mappings, columns, invocation.dataset_ref));
    };
  return options;
}

asio::awaitable<int> score(const Score& invocation, RunRecord& record, std::vector<std::string>& warnings) {
  // Arguments of a co_await live in locals: GCC 12 may destroy temporaries there twice.
  ScoreOptions options = options_for(invocation, record, warnings);
  Attempt<Json> scored =
      co_await attempt(score_sim(invocation.path, invocation.dataset_ref, std::move(options)));
  if (scored.ok()) {
    if (invocation.verbose) {
      print_sensor_table(scored.value());
      print_diagnostics(scored.value());
    }
    co_return 0;
  }
  record.failure = scored.failure();
  note_failure(record.failure);
  if (record.plan)
    for (const std::string& line : check::unmatched_action_lines(*record.plan))
      console().note(markup_literal(line));
  if (record.evidence) print_evidence(*record.evidence);
  co_return 1;
}

}  // namespace

CLI::App* add_score(CLI::App& sim, std::function<void(Score)> chosen) {
  struct Given {
    Score score;
    std::string env_init, json_summary;
    int jobs = 1;
  };
  const auto given = std::make_shared<Given>();
  Score& invocation = given->score;

  CLI::App* app = sim.add_subcommand("score", DESCRIPTION);
  app->footer(
      std::string(DETAILS) +
      "\n\nExit status: 0 when the sim was scored, 1 when it could not be, 2 for bad usage. SIGINT or "
      "SIGTERM stops the sim and ends the program by that signal; a second one kills the sim.");
  const auto option = [app]<class T>(const char* name, T& value, const char* type, const char* help) {
    return app->add_option(name, value, help)->type_name(type);
  };
  add_sim_and_dataset(*app, invocation.path, invocation.dataset_ref);
  option("--env-init", given->env_init, "JSON|@FILE",
         "The sim's initialisation settings: a JSON object, or a file holding one");
  option("--jobs", given->jobs, "N",
         "Copies of the sim that replay episodes side by side; 0: one per core of this machine")
      ->capture_default_str()
      ->check(CLI::Range(0, 1024).description(""));
  option("--max-episodes", invocation.options.max_episodes, "N", "Most episodes to replay")
      ->capture_default_str()
      ->check(CLI::Range(1, INT_MAX).description(""));
  option("--search-lag", invocation.options.search_lag_rows, "ROWS",
         "How far the diagnostics look for the best lag, in both directions; the score is unchanged")
      ->capture_default_str()
      ->check(CLI::Range(0, 1000).description(""));
  option("--max-lag-steps", invocation.options.max_lag_steps, "N",
         "The score's lag window, in rows the sim may trail; the platform's is 3")
      ->capture_default_str()
      ->check(CLI::Range(0, 1000).description(""));
  option("--call-timeout", invocation.options.call_timeout_s, "SECONDS",
         "Time allowed to each call into the sim during the replay")
      ->capture_default_str()
      ->check(seconds_check);
  app->add_flag("-v,--verbose", invocation.verbose,
                "Show the plan before the replay, and each sensor's score and diagnostics and each episode's "
                "score after the analysis");
  app->add_flag("--evidence-page", invocation.options.evidence_page,
                "Have the compute node draw the sim against the recording, sensor by sensor, into a page of "
                "its own (in its --state-dir, as private as the dataset), and print the page's path");
  option("--json", given->json_summary, "FILE",
         "Write a summary of the outcome to FILE as JSON, whatever the outcome; -: to stdout, where it "
         "is then alone (the other lines go to stderr)");

  app->callback([given, chosen] {
    Score score = given->score;
    if (!given->env_init.empty()) score.options.env_init = env_init_of(given->env_init);
    score.options.jobs = jobs_of(given->jobs);
    score.json_summary = given->json_summary;
    check_summary_file(score.json_summary);
    chosen(std::move(score));
  });
  return app;
}

Outcome run_score(const Score& invocation, outside::SimRuntime& runtime) {
  std::ostream& stdout_stream = *console().options().out;
  const LinesOnStderr lines_on_stderr(invocation.json_summary == SUMMARY_TO_STDOUT);
  const outside::ScopedSimRuntime installed(runtime);
  RunRecord record;
  std::vector<std::string> warnings;
  const Outcome outcome = run_interruptible(score(invocation, record, warnings),
                                            "Interrupted: stopping the sim...", kill_sims(runtime));
  if (invocation.json_summary.empty()) return outcome;
  record.exit_status = outcome.exit_status;
  record.signal = outcome.signal;
  Json summary = score_summary(record, warnings);
  if (invocation.options.evidence_page)
    summary["evidence_page"] = evidence_page_json(evidence_page_of(record.result));
  return with_summary(invocation.json_summary, summary, stdout_stream, outcome);
}

}  // namespace nalto::cli
