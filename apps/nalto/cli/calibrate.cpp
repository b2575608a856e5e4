#include "cli/calibrate.hpp"

#include <climits>
#include <cmath>
#include <cstdint>
#include <memory>

#include "cli/options.hpp"
#include "cli/publish_view.hpp"
#include "cli/summary.hpp"
#include "nalto/main/answer.hpp"
#include "nalto/support/files.hpp"

namespace nalto::cli {

namespace {

constexpr const char* DESCRIPTION =
    "Fit a sim's env_init parameters to a dataset, scored on the compute node, without the platform";

constexpr const char* DETAILS =
    "Reads the dataset's recorded actions once, then replays them through the sim again and again, each "
    "time with other values of the --param members merged into the env_init, and has the compute node "
    "score each replay as `nalto sim score` does: the optimiser sees the scores only, never the recorded "
    "sensors. Writes the env_init with the best values found to --out, ready for `nalto sim publish "
    "--env-init @FILE`.";

// The numbered names tried after DEFAULT_OUT.
constexpr int FREE_NAMES = 1000;

void print_evaluation(const Calibration& calibration, const Evaluation& evaluation) {
  const std::string number = "#" + std::to_string(evaluation.number);
  if (!evaluation.objective) {
    console().print("[dim]" + number + " failed (" +
                    markup_literal(calibrate::values_text(calibration.parameters, evaluation.values)) +
                    "): " + markup_literal(evaluation.failure) + "[/dim]");
    return;
  }
  const Json score = subscript(score_of(evaluation.result), "score");
  console().print(number + " score " + markup_literal(plain_text(score)) + ", NRMSE " +
                  calibrate::shown(*evaluation.objective) + ": " +
                  markup_literal(calibrate::values_text(calibration.parameters, evaluation.values)));
}

Json fit_score(const std::optional<Evaluation>& evaluation) {
  return evaluation ? score_of(evaluation->result)["score"] : Json();
}

std::string change_text(const Json& before, const Json& after) {
  return (before.is_null() ? "-" : plain_text(before)) + " → " + (after.is_null() ? "-" : plain_text(after));
}

std::string episodes_text(std::size_t n, const char* kind) {
  return std::to_string(n) + " " + kind + (n == 1 ? " episode" : " episodes");
}

// What the user should check about a parameter's outcome; empty when nothing.
std::string parameter_note(const Calibration& calibration, std::size_t i) {
  if (calibration.unmoved[i]) return "never moved the score: is the name right?";
  if (calibration.best_at_bound(i)) return "at a bound: widen it";
  return "";
}

void print_parameters(const Calibration& calibration) {
  const std::vector<double>& best = calibration.best_values();
  std::vector<std::string> notes;
  bool noted = false;
  for (std::size_t i = 0; i < calibration.parameters.size(); ++i) {
    notes.push_back(parameter_note(calibration, i));
    noted = noted || !notes.back().empty();
  }
  std::vector<std::string> columns = {"Parameter", "Scale", "Low", "High", "Start", "Best"};
  if (noted) columns.push_back("Note");
  Table table("Parameters", columns);
  for (std::size_t i = 0; i < calibration.parameters.size(); ++i) {
    const calibrate::Parameter& parameter = calibration.parameters[i];
    std::vector<std::string> row = {markup_literal(parameter.name),         parameter.log ? "log" : "linear",
                                    calibrate::shown(parameter.low),        calibrate::shown(parameter.high),
                                    calibrate::shown(calibration.start[i]), calibrate::shown(best[i])};
    if (noted) row.push_back(notes[i].empty() ? "" : "[yellow]" + notes[i] + "[/yellow]");
    table.add_row(std::move(row));
  }
  console().print(table);
}

void print_sensors(const Calibration& calibration) {
  const Json before =
      calibration.baseline ? score_of(calibration.baseline->result)["sensors"] : Json::object();
  const Json after = calibration.best ? score_of(calibration.best->result)["sensors"] : Json::object();
  if (before.empty()) return;
  Table table("Sensors on the fit episodes", {"Sensor", "Before", "After"});
  for (const auto& [name, score] : before.items())
    table.add_row({markup_literal(name), markup_literal(plain_text(score)),
                   markup_literal(plain_text(after.value(name, Json())))});
  console().print(table);
}

// What was found: the parameters, the scores before and after, and the file written.
void print_calibration(const Calibration& calibration, const std::filesystem::path& written) {
  if (!calibration.baseline) return;
  print_parameters(calibration);
  console().print("Score on the " + episodes_text(calibration.fit_episodes.size(), "fit") + ": " +
                  markup_literal(change_text(fit_score(calibration.baseline), fit_score(calibration.best))));
  if (!calibration.holdout_episodes.empty())
    console().print("Score on the " + episodes_text(calibration.holdout_episodes.size(), "held-out") + ": " +
                    markup_literal(change_text(score_of(calibration.holdout_before)["score"],
                                               score_of(calibration.holdout_after)["score"])));
  print_sensors(calibration);
  if (calibration.evidence_page) print_evidence_page(*calibration.evidence_page);
  if (written.empty()) {
    console().print("[dim]No values scored better than the start's; nothing was written.[/dim]");
    return;
  }
  console().print("[green]✓[/green] Wrote " + markup_literal(written.string()) +
                  "; publish with it: nalto sim publish ... --env-init @" + markup_literal(written.string()));
}

Json calibrated_env_init(const Calibrate& invocation, const Calibration& calibration) {
  return calibrate::with_values(invocation.options.env_init, calibration.parameters,
                                calibration.best->values);
}

// Writes the best env_init where it belongs; answers the file written.
std::filesystem::path write_out(const Calibrate& invocation, const Json& env_init) {
  const std::string text = env_init.dump(2) + "\n";
  if (!invocation.out.empty()) {
    write_file_atomically(invocation.out, text);
    return invocation.out;
  }
  for (int n = 1; n <= FREE_NAMES; ++n) {
    std::filesystem::path file = DEFAULT_OUT;
    if (n > 1) file.replace_filename(DEFAULT_OUT.stem().string() + "-" + std::to_string(n) + ".json");
    if (write_new_file_atomically(file, text)) return file;
  }
  throw FileWriteError("write", EEXIST,
                       "calibrated-env-init.json and its numbered names up to -" +
                           std::to_string(FREE_NAMES) + " all exist; name a file with --out");
}

asio::awaitable<int> calibrate_task(const Calibrate& invocation, Calibration& calibration,
                                    RunRecord& record) {
  CalibrateHooks hooks;
  hooks.mapped = [&record](const Json& mappings, const Json& columns) {
    record.plan = check::plan_columns(mappings, columns);
    print_warnings(check::unmatched_sensor_lines(*record.plan));
  };
  if (invocation.verbose) hooks.evaluated = print_evaluation;
  CalibrateOptions options = invocation.options;
  Attempt<void> calibrated = co_await attempt(calibrate_sim(
      invocation.path, invocation.dataset_ref, std::move(options), calibration, std::move(hooks)));
  if (calibrated.ok()) co_return 0;
  record.failure = calibrated.failure();
  note_failure(record.failure);
  if (calibration.last_failed && calibration.last_failed->evidence)
    record.evidence = calibration.last_failed->evidence;
  if (record.evidence) print_evidence(*record.evidence);
  co_return 1;
}

// Refuses an --out that could not be written before any work is done.
void check_writable(const std::filesystem::path& file) {
  try {
    writable_target(file);
  } catch (const FileWriteError& e) {
    throw PublishReportError("Could not write the calibrated env_init to '" + file.string() +
                             "': " + e.reason());
  }
}

std::string fraction_check(const std::string& value) {
  try {
    std::size_t used = 0;
    const double fraction = std::stod(value, &used);
    if (used == value.size() && fraction >= 0 && fraction < 1) return "";
  } catch (const std::exception&) {
  }
  return "expected a fraction from 0 up to (not including) 1, got '" + value + "'";
}

}  // namespace

CLI::App* add_calibrate(CLI::App& sim, std::function<void(Calibrate)> chosen) {
  struct Given {
    Calibrate calibrate;
    std::vector<std::string> parameters;
    std::string env_init, out, json_summary;
    int jobs = 1;
    double holdout = -1;
  };
  const auto given = std::make_shared<Given>();
  Calibrate& invocation = given->calibrate;
  CalibrateOptions& options = invocation.options;

  CLI::App* app = sim.add_subcommand("calibrate", DESCRIPTION);
  app->footer(
      std::string(DETAILS) +
      "\n\nExit status: 0 when the sim was calibrated, 1 when it could not be, 2 for bad usage. SIGINT or "
      "SIGTERM stops the sims, writes the best values found so far (when better than the start's) and "
      "the summary, and ends the program by that signal; a second one kills the sims.");
  const auto option = [app]<class T>(const char* name, T& value, const char* type, const char* help) {
    return app->add_option(name, value, help)->type_name(type);
  };
  add_sim_and_dataset(*app, invocation.path, invocation.dataset_ref);
  option("--param", given->parameters, "NAME=LOW..HIGH[:log]",
         "A parameter to fit: NAME is a dot path into the env_init (params.orifice1) or a JSON Pointer "
         "(/parameters/spring.c); :log searches it on a log scale. Repeat for each")
      ->required()
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  option("--env-init", given->env_init, "JSON|@FILE",
         "The env_init the values are merged into (a JSON object, or a file holding one); its values are the "
         "start");
  // The optimiser's model grows with every evaluation, each costing more than the last.
  option("--budget", options.budget, "N",
         "Evaluations on the fit episodes, the start's included (at most 10,000)")
      ->capture_default_str()
      ->check(CLI::Range(2, 10000).description(""));
  option("--jobs", given->jobs, "N",
         "Candidates evaluated side by side, each on a sim of its own; 0: one per core of this machine")
      ->capture_default_str()
      ->check(CLI::Range(0, 1024).description(""));
  option(
      "--holdout", given->holdout, "FRACTION",
      "Share of the episodes kept out of the fit and scored before and after (default 0.25 from 8 episodes "
      "on, else 0)")
      ->check(fraction_check);
  option("--max-episodes", options.max_episodes, "N", "Most episodes to replay, held-out ones included")
      ->capture_default_str()
      ->check(CLI::Range(1, INT_MAX).description(""));
  option("--seed", options.seed, "S", "The optimiser's seed: the same seed, the same run")
      ->capture_default_str();
  option("--max-lag-steps", options.max_lag_steps, "N",
         "The score's lag window, in rows the sim may trail; the platform's is 3")
      ->capture_default_str()
      ->check(CLI::Range(0, 1000).description(""));
  option("--call-timeout", options.call_timeout_s, "SECONDS", "Time allowed to each call into a sim")
      ->capture_default_str()
      ->check(seconds_check);
  option("--out", given->out, "FILE",
         "Where to write the calibrated env_init (replaced if it exists); default: calibrated-env-init.json "
         "here, or the next free numbered name");
  app->add_flag("-v,--verbose", invocation.verbose,
                "Show each evaluation: its values and score, or why it failed");
  app->add_flag("--evidence-page", options.evidence_page,
                "Have the compute node draw the best values against the recording, with the start's on the "
                "same axes, into a page of its own (in its --state-dir), and print the page's path");
  option(
      "--json", given->json_summary, "FILE",
      "Write a summary of the outcome to FILE as JSON, whatever the outcome; -: to stdout, where it is then "
      "alone (the other lines go to stderr)");

  app->callback([given, chosen] {
    Calibrate calibrate = given->calibrate;
    CalibrateOptions& options = calibrate.options;
    if (!given->env_init.empty()) options.env_init = env_init_of(given->env_init);
    try {
      for (const std::string& spec : given->parameters)
        options.parameters.push_back(calibrate::parse_parameter(spec));
      calibrate::check_distinct(options.parameters);
      for (const calibrate::Parameter& parameter : options.parameters)
        calibrate::start_value(parameter, options.env_init);
    } catch (const ValueError& e) {
      throw CLI::ValidationError("--param", e.what());
    }
    options.jobs = jobs_of(given->jobs);
    if (given->holdout >= 0) options.holdout = given->holdout;
    calibrate.out = given->out;
    calibrate.json_summary = given->json_summary;
    check_summary_file(calibrate.json_summary);
    if (!calibrate.out.empty()) check_writable(calibrate.out);
    chosen(std::move(calibrate));
  });
  return app;
}

Outcome run_calibrate(const Calibrate& invocation, outside::SimRuntime& runtime) {
  std::ostream& stdout_stream = *console().options().out;
  const LinesOnStderr lines_on_stderr(invocation.json_summary == SUMMARY_TO_STDOUT);
  const outside::ScopedSimRuntime installed(runtime);
  Calibration calibration;
  RunRecord record;
  Outcome outcome = run_interruptible(calibrate_task(invocation, calibration, record),
                                      "Interrupted: stopping the sims...", kill_sims(runtime));
  record.exit_status = outcome.exit_status;
  record.signal = outcome.signal;

  // Whatever ended the run, what it found is kept.
  Json env_init;
  std::filesystem::path written;
  if (calibration.improved()) {
    env_init = calibrated_env_init(invocation, calibration);
    const Outcome kept = run_reporting([&] {
      written = write_out(invocation, env_init);
      return 0;
    });
    if (kept.exit_status) outcome.exit_status = record.exit_status = kept.exit_status;
  }
  print_calibration(calibration, written);
  if (invocation.json_summary.empty()) return outcome;
  Json summary = calibrate_summary(record, calibration, written.empty() ? Json() : env_init);
  if (invocation.options.evidence_page)
    summary["evidence_page"] = evidence_page_json(calibration.evidence_page);
  return with_summary(invocation.json_summary, summary, stdout_stream, outcome);
}

}  // namespace nalto::cli
