#include "cli/publish.hpp"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>

#include "cli/options.hpp"
#include "cli/plan_table.hpp"
#include "cli/publish_view.hpp"
#include "cli/summary.hpp"
#include "nalto/main/answer.hpp"
#include "nalto/support/files.hpp"
#include "nalto/support/hex.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto::cli {

namespace {

namespace fs = std::filesystem;

constexpr const char* DESCRIPTION = "Make the simulation report of a sim build and submit it";

constexpr const char* DETAILS =
    "Makes the simulation report of a sim build: rolls the sim out over a dataset of the local compute "
    "node ($NALTO_COMPUTE_URL, default http://127.0.0.1:8470), submits the node's analysis to the local "
    "platform and prints the reports of the use cases that use the sim.";

std::string name_of_path(const std::string& path) {
  fs::path normal = fs::absolute(path).lexically_normal();
  if (!normal.has_filename()) normal = normal.parent_path();
  const std::string name = fs::is_regular_file(normal) ? normal.stem().string() : normal.filename().string();
  return name.empty() ? "sim" : name;
}

std::string sha256_check(const std::string& value) {
  if (is_hex(value, 64)) return {};
  return "must be 64 hexadecimal digits";
}

std::string lowercase(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// A bundle that cannot be read is no usage error: it ends the program with 1, saying why.
std::string bundle_digest(const std::string& bundle) {
  try {
    return sha256_file(bundle);
  } catch (const FileReadError& e) {
    throw PublishReportError("Could not hash the bundle '" + utf8::echo(bundle) + "': " + e.reason());
  }
}

}  // namespace

CLI::App* add_publish(CLI::App& sim, std::function<void(Publish)> chosen) {
  // The options' targets outlive this function: the parse fills them, the callback reads them.
  struct Given {
    Publish publish{.org_id = "local", .implementation_id = "local"};
    std::string bundle, bundle_sha256, env_init, platform_state, json_summary;
    std::optional<std::string> project;
    int jobs = 1;
  };
  const auto given = std::make_shared<Given>();
  Publish& invocation = given->publish;

  CLI::App* app = sim.add_subcommand("publish", DESCRIPTION);
  app->footer(
      std::string(DETAILS) +
      "\n\nExit status: 0 when a report was written, 1 when the analysis could not be made or submitted, 2 "
      "for "
      "bad usage, 3 when it was submitted but no report was written (the build failed or is not done, no use "
      "case uses the sim, the writing outlasted the wait). SIGINT or SIGTERM closes the claim and stops the "
      "sim, then ends the program by that signal; a second one ends it at once.");
  const auto option = [app]<class T>(const char* name, T& value, const char* type, const char* help) {
    return app->add_option(name, value, help)->type_name(type);
  };
  add_sim_and_dataset(*app, invocation.path, invocation.dataset_ref);
  option("--org", invocation.org_id, "ID", "The organization's id")->capture_default_str();
  option("--sim", invocation.sim_id, "ID", "The published sim's id [default: the sim's name]");
  option("--sim-name", invocation.sim_name, "NAME",
         "The sim's name in the printed outcome [default: the name of --path]");
  option("--implementation", invocation.implementation_id, "ID", "The id of the build just published")
      ->capture_default_str();
  CLI::Option* bundle_option =
      option("--bundle", given->bundle, "FILE",
             "The published bundle, hashed with SHA-256 [default: --path when it is a file]")
          ->check(CLI::ExistingFile.description(""));
  option("--bundle-sha256", given->bundle_sha256, "HEX", "The published bundle's SHA-256")
      ->check(sha256_check)
      ->excludes(bundle_option);
  option("--project", given->project, "ID", "A use case to add the sim to first");
  option("--max-episodes", invocation.options.max_episodes, "N", "Most episodes to replay")
      ->capture_default_str()
      ->check(CLI::Range(1, INT_MAX).description(""));
  option("--env-init", given->env_init, "JSON|@FILE",
         "The sim's initialisation settings: a JSON object, or a file holding one");
  option("--call-timeout", invocation.options.call_timeout_s, "SECONDS",
         "Time allowed to each call into the sim during the replay")
      ->capture_default_str()
      ->check(seconds_check);
  option("--jobs", given->jobs, "N",
         "Copies of the sim that replay episodes side by side; 0: one per core of this machine")
      ->capture_default_str()
      ->check(CLI::Range(0, 1024).description(""));
  option("--platform-state", given->platform_state, "FILE",
         "The local platform's state file [default: $XDG_STATE_HOME/nalto/platform-state.json, else "
         "~/.local/state/nalto/platform-state.json]");
  const std::string group = "Local platform behaviour, to see the other outcomes";
  option("--platform-build-polls", invocation.platform.build_polls, "N",
         "Status polls that still find the sim's build running")
      ->group(group)
      ->check(CLI::NonNegativeNumber.description(""));
  option("--platform-writing-polls", invocation.platform.writing_polls, "N",
         "Further status polls that find the reports still being written (one every 5 seconds)")
      ->group(group)
      ->check(CLI::NonNegativeNumber.description(""));
  app->add_flag("--platform-build-fails", invocation.platform.build_fails, "The sim's build fails")
      ->group(group);
  app->add_flag("-v,--verbose", invocation.verbose,
                "Show the plan before the replay and each sensor's score after the analysis");
  option("--json", given->json_summary, "FILE",
         "Write a summary of the outcome to FILE as JSON, whatever the outcome; -: to stdout, where it "
         "is then alone (the other lines go to stderr)");

  app->callback([given, chosen] {
    Publish publish = given->publish;
    if (!given->env_init.empty()) publish.options.env_init = env_init_of(given->env_init);
    std::string bundle = given->bundle;
    if (bundle.empty() && given->bundle_sha256.empty()) {
      if (!fs::is_regular_file(publish.path))
        throw CLI::ValidationError("--bundle", "--bundle or --bundle-sha256 is required for a sim folder");
      bundle = publish.path;
    }
    publish.options.project_id = given->project;
    publish.options.jobs = jobs_of(given->jobs);
    if (publish.sim_name.empty()) publish.sim_name = name_of_path(publish.path);
    if (publish.sim_id.empty()) publish.sim_id = publish.sim_name;
    publish.bundle_sha256 = bundle.empty() ? lowercase(given->bundle_sha256) : bundle_digest(bundle);
    publish.platform_state = state_path(given->platform_state);
    publish.json_summary = given->json_summary;
    // Before any claim: a summary that cannot be written would fail the run after all its work.
    check_summary_file(publish.json_summary);
    chosen(std::move(publish));
  });
  return app;
}

namespace {

// The hooks that fill `record`, and show the plan and the sensors when asked to.
PublishHooks hooks_for(const Publish& invocation, PublishRecord& record, std::string& interrupted) {
  PublishHooks hooks;
  // Once scored, the sim has stopped and the analysis is submitted at once: an interruption then only
  // gives up the wait for the reports.
  hooks.scored = [&interrupted, verbose = invocation.verbose](const Json& result) {
    interrupted = "Interrupted: the analysis is submitted; no longer waiting for the reports.";
    if (!verbose) return;
    print_sensor_table(result);
    print_diagnostics(result);
    for (const std::string& hint : hints_of(result))
      console().print("[dim]hint: " + markup_literal(hint) + "[/dim]");
  };
  hooks.claimed = [&record](const Json& claim) { record.claim = claim; };
  hooks.analysis.mapped = [&record](const Json& mappings, const Json& columns) {
    record.plan = check::plan_columns(mappings, columns);
  };
  hooks.analysis.replay_failed = [&record](const ReplayEvidence& evidence) { record.evidence = evidence; };
  hooks.analyzed = [&record](const Json& result) { record.result = result; };
  hooks.reported = [&record](const Json& status) { record.status = status; };
  if (!invocation.verbose) return hooks;
  hooks.analysis.planned = [&invocation](const Json& mappings, const Plan&, const Json& columns) {
    console().print(plan_table(mappings, columns, invocation.dataset_ref));
  };
  return hooks;
}

asio::awaitable<int> publish(const Publish& invocation, platform::LocalPlatform& platform,
                             PublishRecord& record, std::string& interrupted) {
  PublishOptions options = invocation.options;
  options.hooks = hooks_for(invocation, record, interrupted);
  Attempt<void> published = co_await attempt(publish_report(
      platform, invocation.org_id, invocation.sim_id, invocation.sim_name, invocation.implementation_id,
      invocation.path, invocation.bundle_sha256, invocation.dataset_ref, std::move(options)));
  if (published.ok()) co_return reports_written(record.status) ? 0 : NO_REPORT_STATUS;
  // The step's message first, word for word; then what is known of the sim's part in it.
  record.failure = published.failure();
  note_failure(record.failure);
  if (invocation.verbose && record.plan)
    for (const std::string& line : check::unmatched_action_lines(*record.plan))
      console().note(markup_literal(line));
  if (record.evidence) print_evidence(*record.evidence);
  co_return 1;
}

// What the platform holds for the publish's claim at the end, null without one: the state file as it
// is now, as `nalto sim list` reads it, or else what the platform last read.
Json claim_state(platform::LocalPlatform& platform, const Json& claim) {
  const Json* job = member_at(claim, {"jobId"});
  if (!job || !job->is_string()) return nullptr;
  try {
    platform.reload();
  } catch (const platform::StateFileError&) {
  }
  const Json& claims = subscript(platform.state(), "claims");
  const auto found = claims.find(job->get<std::string>());
  return found == claims.end() ? Json() : subscript(*found, "state");
}

// `text` as one word of a POSIX shell.
std::string shell_word(const std::string& text) {
  const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("@%+=:,./_-", c);
  });
  if (plain) return text;
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The score that replays the publish's episodes as it did and has the node draw them: the publish's own
// request has no page.
std::string evidence_page_command(const Publish& invocation) {
  std::string command = "nalto sim score --path " + shell_word(invocation.path) + " --dataset " +
                        shell_word(invocation.dataset_ref);
  const PublishOptions& options = invocation.options;
  if (options.max_episodes != DEFAULT_MAX_EPISODES)
    command += " --max-episodes " + std::to_string(options.max_episodes);
  if (options.env_init) command += " --env-init " + shell_word(options.env_init->dump());
  if (options.call_timeout_s != PublishOptions{}.call_timeout_s)
    command += " --call-timeout " + shell_word(plain_text(options.call_timeout_s));
  return command + " --evidence-page";
}

}  // namespace

Outcome run_publish(const Publish& invocation, outside::SimRuntime& runtime) {
  std::ostream& stdout_stream = *console().options().out;
  const bool summary_on_stdout = invocation.json_summary == SUMMARY_TO_STDOUT;
  const LinesOnStderr lines_on_stderr(summary_on_stdout);
  const outside::ScopedSimRuntime installed(runtime);
  std::optional<platform::LocalPlatform> platform;
  PublishRecord record;
  Outcome outcome;
  try {
    platform.emplace(invocation.platform_state, invocation.platform);
  } catch (...) {
    // The summary tells this failure too.
    record.failure = std::current_exception();
    note_failure(record.failure);
    outcome.exit_status = 1;
  }
  std::string interrupted = "Interrupted: closing the claim and stopping the sim...";
  if (outcome.exit_status == 0)
    outcome = run_interruptible(publish(invocation, *platform, record, interrupted), interrupted,
                                kill_sims(runtime));
  if (invocation.verbose && !record.result.is_null() && !outcome.signal)
    console().print("[dim]To see the sim against the recording, sensor by sensor: " +
                    markup_literal(evidence_page_command(invocation)) + "[/dim]");
  if (invocation.json_summary.empty()) return outcome;

  record.exit_status = outcome.exit_status;
  record.signal = outcome.signal;
  const Json state = platform ? claim_state(*platform, record.claim) : Json();
  return with_summary(invocation.json_summary, publish_summary(record, state), stdout_stream, outcome);
}

}  // namespace nalto::cli
