#include "cli/validate.hpp"

#include <chrono>
#include <climits>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "cli/options.hpp"
#include "cli/plan_table.hpp"
#include "cli/publish_view.hpp"
#include "nalto/analysis/sim_session.hpp"
#include "nalto/check/answers.hpp"
#include "nalto/check/columns.hpp"
#include "nalto/check/latency.hpp"
#include "nalto/support/strings.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto::cli {

namespace {

using Clock = std::chrono::steady_clock;
using check::Problem;

constexpr const char* DESCRIPTION = "Check a sim's answers against the sim protocol, without publishing";

constexpr const char* DETAILS =
    "Starts the sim as a publish does, calls Init, Make, reads its mappings and spaces, then Reset and "
    "--steps Steps with sampled actions (a new Reset when an episode ends), replays the first steps to "
    "see whether it answers alike, and calls Close. Each answer is checked: its shape, JSON text, finite "
    "numbers, the observation against the sensor space, the mappings' slots, terminated and truncated as "
    "booleans, and the call timeout. With --dataset, also prints how the sim's mappings meet the "
    "dataset's columns on the compute node ($NALTO_COMPUTE_URL); nothing is claimed or posted.";

// The problems and warnings of one validation. A problem that comes back step after step is shown
// once, with the number of further steps.
class Findings {
 public:
  void add(Problem problem) {
    ++problems_;
    for (Group& group : pending_)
      if (group.first.call == problem.call && group.first.field == problem.field &&
          group.first.text == problem.text) {
        ++group.more;
        return;
      }
    pending_.push_back({std::move(problem)});
  }

  void add(std::vector<Problem> problems) {
    for (Problem& problem : problems) add(std::move(problem));
  }

  void warn(const std::string& text) {
    ++warnings_;
    console().print("[dim]warning: " + markup_literal(text) + "[/dim]");
  }

  // Prints the problems found since the last report, or else `passed` (when given) as a success line.
  void report(const std::string& passed = "") {
    if (pending_.empty() && !passed.empty()) console().print("[green]✓[/green] " + passed);
    for (const Group& group : pending_) {
      std::string line = "[red]✗[/red] " + markup_literal(check::describe(group.first));
      if (group.more) line += " (and in " + std::to_string(group.more) + " more)";
      console().print(line);
    }
    pending_.clear();
  }

  std::size_t problems() const noexcept { return problems_; }
  std::size_t warnings() const noexcept { return warnings_; }

 private:
  struct Group {
    Problem first;
    std::size_t more = 0;
  };
  std::vector<Group> pending_;
  std::size_t problems_ = 0, warnings_ = 0;
};

struct Dataset {
  std::string name;
  Json columns;
};

asio::awaitable<Dataset> dataset_columns(std::string ref) {
  const Status status =
      console().status("Reading the dataset's columns from the compute node...", outside::status_trace());
  const Json dataset = co_await outside::resolve_node_dataset(ref);
  // One episode is enough: only the columns are wanted, and no rollout is posted.
  const Json request{{"dataset_uuid", subscript(dataset, "id")}, {"episodes", Json::array({0})}};
  auto post = [&request] { return _node_post("analysis-actions", request, timing().columns_request_s); };
  Json columns = co_await run_blocking(std::move(post));
  co_return Dataset{plain_text(subscript(dataset, "name")), std::move(columns)};
}

// Trivially destructible, as it is made in co_await expressions, whose temporaries GCC 12 may destroy
// twice.
struct Call {
  const char* name;
  std::optional<std::int64_t> step;
};

std::string failure_of_call(const std::exception_ptr& failure, double limit_s) {
  try {
    std::rethrow_exception(failure);
  } catch (const TimeoutError&) {
    return "no answer within the call timeout of " + plain_text(limit_s) + " s";
  } catch (const NestedTooDeepError& e) {
    return "the answer nests deeper than " + std::to_string(MAX_JSON_DEPTH) +
           " levels: " + utf8::text_start(e.text());
  } catch (const UnparsedJSONError& e) {
    return "the answer is not JSON: " + utf8::text_start(e.text());
  } catch (const SimCallError& e) {
    return std::string("the call failed: ") + e.what();
  } catch (const std::exception& e) {
    return "the call failed: " + type_name_of(e) + ": " + e.what();
  }
}

// A call's JSON answer, or the problem that makes it unusable.
struct Answered {
  std::optional<Json> value;
  std::optional<Problem> problem;
};

asio::awaitable<Answered> call_json(Call call, asio::awaitable<Json> op, double limit_s) {
  Attempt<Json> done = co_await attempt(with_timeout(std::move(op), limit_s));
  if (done.ok()) co_return Answered{std::move(done.value()), std::nullopt};
  co_return Answered{
      std::nullopt,
      Problem{.call = call.name, .step = call.step, .text = failure_of_call(done.failure(), limit_s)}};
}

asio::awaitable<std::optional<Problem>> call_void(Call call, asio::awaitable<void> op, double limit_s) {
  Attempt<void> done = co_await attempt(with_timeout(std::move(op), limit_s));
  if (done.ok()) co_return std::nullopt;
  co_return Problem{.call = call.name, .step = call.step, .text = failure_of_call(done.failure(), limit_s)};
}

std::optional<std::string> space_error(const Json& space) {
  try {
    outside::sim_runtime().convert_space_to_json(space);
    return std::nullopt;
  } catch (const std::exception& e) {
    return type_name_of(e) + ": " + e.what();
  }
}

Json observation_of(const Json& answer) {
  return answer.is_array() && !answer.empty() ? answer[0] : Json();
}

bool episode_ended(const Json& answer) {
  return answer.is_array() && answer.size() >= 4 && (truthy(answer[2]) || truthy(answer[3]));
}

std::string counted(std::size_t n, const std::string& what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

// One validation of a started sim, from Init to Close. Each stage answers false when a problem ended
// the run there.
class Run {
 public:
  Run(SimSession& session, const Validate& invocation, Findings& findings)
      : session_(session), invocation_(invocation), findings_(findings) {}

  asio::awaitable<void> go() {
    bool going = co_await setup();
    if (going) going = co_await steps();
    if (going) going = co_await replay();
    if (going) co_await close();
  }

  std::optional<Json> mappings;
  std::vector<double> step_seconds;

 private:
  struct Recorded {
    Json action, observation;
  };

  outside::SimClient& client() const { return session_.client(); }
  double limit() const { return invocation_.call_timeout_s; }

  asio::awaitable<bool> setup() {
    status_.update("Calling Init and Make...");
    session_.make_client(invocation_.env_init);
    std::optional<Problem> problem = co_await call_void({"Init"}, client().init(), limit());
    if (!problem) problem = co_await call_void({"Make"}, client().make(), limit());
    if (problem) co_return fail(std::move(*problem));
    findings_.report("Init and Make");

    status_.update("Reading the sim's mappings and spaces...");
    Answered mapped = co_await call_json({"GetMappings"}, sim_mappings(client()), limit());
    if (mapped.problem) co_return fail(std::move(*mapped.problem));
    mappings = std::move(mapped.value);
    contract_.sensors = subscript(*mappings, "sensors");
    if (contract_.sensors.empty())
      findings_.warn("the sim has no sensor mappings: a publish has nothing to score");

    Answered sensor_space = co_await call_json({"SensorSpaceInfo"}, client().sensor_space_info(), limit());
    if (sensor_space.problem) {
      findings_.warn(check::describe(*sensor_space.problem) +
                     "; observations are checked against the mappings only");
    } else if (std::optional<std::string> error = space_error(*sensor_space.value)) {
      findings_.add(Problem{.call = "SensorSpaceInfo", .text = "the space is malformed: " + *error});
    } else {
      contract_.sensor_space = std::move(sensor_space.value);
    }

    Answered action_space = co_await call_json({"ActionSpaceInfo"}, client().action_space_info(), limit());
    if (action_space.problem) co_return fail(std::move(*action_space.problem));
    if (!sample_space(*action_space.value)) co_return false;
    findings_.add(check::check_action_slots(actions_->sample(), subscript(*mappings, "actions")));
    findings_.report("Mappings: " + counted(contract_.sensors.size(), "sensor") + ", " +
                     counted(subscript(*mappings, "actions").size(), "action") +
                     "; spaces read, an action sampled");
    co_return true;
  }

  bool sample_space(const Json& info) {
    try {
      actions_ = outside::sim_runtime()._to_compute_space(info);
      return true;
    } catch (const std::exception& e) {
      return fail(Problem{.call = "ActionSpaceInfo",
                          .text = "the space is malformed: " + type_name_of(e) + ": " + e.what()});
    }
  }

  bool fail(Problem problem) {
    findings_.add(std::move(problem));
    return false;
  }

  asio::awaitable<bool> steps() {
    status_.update("Resetting the sim...");
    Answered reset = co_await call_json({"Reset"}, client().reset(), limit());
    if (reset.problem) co_return fail(std::move(*reset.problem));
    findings_.add(check::check_reset(*reset.value, contract_));
    first_observation_ = observation_of(*reset.value);

    std::size_t episodes = 1;
    bool recording = true;
    for (std::int64_t k = 1; k <= invocation_.steps; ++k) {
      status_.update("Stepping the sim: step " + std::to_string(k) + " of " +
                     std::to_string(invocation_.steps) + "...");
      Json action = actions_->sample();
      const Clock::time_point start = Clock::now();
      Answered stepped = co_await call_json({"Step", k}, client().step(action), limit());
      if (stepped.problem) co_return fail(std::move(*stepped.problem));
      step_seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
      findings_.add(check::check_step(*stepped.value, contract_, k));
      if (recording && k <= REPLAYED_STEPS)
        recorded_.push_back({std::move(action), observation_of(*stepped.value)});
      if (!episode_ended(*stepped.value) || k == invocation_.steps) continue;
      recording = false;
      ++episodes;
      Answered again = co_await call_json({"Reset", k}, client().reset(), limit());
      if (again.problem) co_return fail(std::move(*again.problem));
      findings_.add(check::check_reset(*again.value, contract_));
    }
    findings_.report("Reset and " + counted(static_cast<std::size_t>(invocation_.steps), "step") + " over " +
                     counted(episodes, "episode"));
    co_return true;
  }

  // A replay can be compared run to run only when the sim answers the same actions alike.
  asio::awaitable<bool> replay() {
    status_.update("Replaying the first steps to see whether the sim answers alike...");
    Answered reset = co_await call_json({"Reset"}, client().reset(), limit());
    if (reset.problem) co_return fail(std::move(*reset.problem));
    if (differs("Reset", first_observation_, observation_of(*reset.value))) co_return true;
    for (std::size_t i = 0; i < recorded_.size(); ++i) {
      const auto k = static_cast<std::int64_t>(i + 1);
      Answered stepped = co_await call_json({"Step", k}, client().step(recorded_[i].action), limit());
      if (stepped.problem) co_return fail(std::move(*stepped.problem));
      if (differs("Step " + std::to_string(k), recorded_[i].observation, observation_of(*stepped.value)))
        co_return true;
    }
    findings_.report("Deterministic: Reset and the first " + counted(recorded_.size(), "step") +
                     " replayed alike");
    co_return true;
  }

  bool differs(const std::string& where, const Json& first, const Json& again) {
    const std::optional<std::string> difference = check::first_difference(first, again, "observation");
    if (!difference) return false;
    findings_.warn("the sim is not deterministic: " + where + " answered " + *difference +
                   " when replayed with the same actions; a replay then cannot be compared run to run");
    return true;
  }

  asio::awaitable<void> close() {
    status_.update("Closing the sim...");
    if (std::optional<Problem> problem = co_await call_void({"Close"}, client().close(), limit()))
      findings_.add(std::move(*problem));
    findings_.report("Close");
  }

  SimSession& session_;
  const Validate& invocation_;
  Findings& findings_;
  Status status_ = console().status("Calling Init and Make...", outside::status_trace());
  check::Contract contract_;
  std::unique_ptr<outside::ComputeSpace> actions_;
  Json first_observation_;
  std::vector<Recorded> recorded_;
};

struct Result {
  std::optional<Json> mappings;
  std::vector<double> step_seconds;
};

asio::awaitable<void> exercise(SimSession& session, const Validate& invocation, Findings& findings,
                               Result& result) {
  Run run(session, invocation, findings);
  co_await run.go();
  result = {std::move(run.mappings), std::move(run.step_seconds)};
}

void report_start_failure(const std::exception_ptr& failure) {
  const std::string message = message_of(failure);
  try {
    std::rethrow_exception(failure);
  } catch (const PublishReportError& e) {
    // Its message holds the sim's last output, or else the reason itself.
    const std::string reason = e.cause() ? message_of(e.cause()) : message;
    console().note("✗ The sim did not start: " + markup_literal(reason));
    const std::string prefix = "The sim did not start:\n\n";
    const std::string output = message.starts_with(prefix) ? message.substr(prefix.size()) : "";
    if (!output.empty() && output != reason) console().note("Its last output:\n" + markup_literal(output));
  } catch (...) {
    console().note("✗ The sim did not start: " + markup_literal(message));
  }
}

// How the sim is kept apart from the machine's other processes: a line of its own, never a warning, as
// it is the machine's doing and not the sim's.
void report_isolation(const std::optional<outside::SimIsolation>& isolation) {
  if (!isolation) return;
  const std::string detail = markup_literal(isolation->detail);
  if (isolation->own_pid_namespace) {
    console().print("[green]✓[/green] The sim runs in its own PID namespace" +
                    (detail.empty() ? "" : "; " + detail));
  } else {
    console().print("[dim]note: the sim runs in no PID namespace of its own: " + detail +
                    "; what it leaves running is stopped and killed when it ends[/dim]");
  }
}

std::string milliseconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f ms", seconds * 1000);
  return text;
}

void report_plan(const Dataset& dataset, const Json& mappings, Findings& findings) {
  const check::ColumnPlan plan = check::plan_columns(mappings, dataset.columns);
  console().print(plan_table(plan, dataset.name));
  const std::string call = "Dataset '" + dataset.name + "'";
  for (const std::string& line : check::unmatched_sensor_lines(plan)) findings.warn(line);
  for (const check::PlannedSlot& action : plan.actions)
    if (!action.column)
      findings.add(Problem{
          .call = call,
          .field = "action " + quoted_literal(action.name),
          .text = "no action column matches it, and a publish replays every action from the dataset"});
  bool scored = false;
  for (const check::PlannedSlot& sensor : plan.sensors) scored = scored || sensor.column.has_value();
  if (!scored)
    findings.add(Problem{.call = call, .text = "no sensor column matches a sim sensor: nothing to score"});
  findings.report();
}

void report_latency(const std::vector<double>& step_seconds) {
  const std::optional<check::Latency> latency = check::latency_of(step_seconds);
  if (!latency) return;
  console().print("Step latency over " + counted(step_seconds.size(), "call") + ": median " +
                  milliseconds(latency->median) + ", 99th percentile " + milliseconds(latency->p99) +
                  ", max " + milliseconds(latency->max));
}

int summary(const Findings& findings) {
  const std::string warnings =
      findings.warnings() ? " with " + counted(findings.warnings(), "warning") : std::string();
  if (findings.problems() == 0) {
    console().print("[green]✓[/green] The sim keeps the protocol" + warnings);
    return 0;
  }
  console().note("The sim broke the protocol: " + counted(findings.problems(), "problem") + warnings +
                 " (the ✗ lines above)");
  return 1;
}

}  // namespace

CLI::App* add_validate(CLI::App& sim, std::function<void(Validate)> chosen) {
  struct Given {
    Validate validate;
    std::string env_init;
    std::optional<std::string> dataset;
  };
  const auto given = std::make_shared<Given>();
  Validate& invocation = given->validate;

  CLI::App* app = sim.add_subcommand("validate", DESCRIPTION);
  app->footer(
      std::string(DETAILS) +
      "\n\nExit status: 0 when the sim keeps the protocol (warnings alone do not fail), 1 when it does "
      "not, 2 for bad usage. SIGINT or SIGTERM stops the sim, then ends the program by that signal.");
  const auto option = [app]<class T>(const char* name, T& value, const char* type, const char* help) {
    return app->add_option(name, value, help)->type_name(type);
  };
  option("--path", invocation.path, "PATH", "The sim: an executable, or a folder holding sim.json")
      ->required()
      ->check(CLI::ExistingPath.description(""));
  option("--steps", invocation.steps, "N", "Steps to run with sampled actions")
      ->capture_default_str()
      ->check(CLI::Range(std::int64_t{1}, std::int64_t{INT_MAX}).description(""));
  option("--env-init", given->env_init, "JSON|@FILE",
         "The sim's initialisation settings: a JSON object, or a file holding one");
  option("--dataset", given->dataset, "REF",
         "A dataset of the compute node to plan against: which columns the sim's mappings meet");
  option("--call-timeout", invocation.call_timeout_s, "SECONDS", "Time allowed to each call into the sim")
      ->capture_default_str()
      ->check(seconds_check);

  app->callback([given, chosen] {
    Validate validate = given->validate;
    if (!given->env_init.empty()) validate.env_init = env_init_of(given->env_init);
    validate.dataset_ref = given->dataset;
    chosen(std::move(validate));
  });
  return app;
}

asio::awaitable<int> validate_sim(Validate invocation) {
  std::optional<Dataset> dataset;
  if (invocation.dataset_ref) dataset = co_await dataset_columns(*invocation.dataset_ref);

  Attempt<SimSession> started = co_await attempt(SimSession::start(outside::sim_runtime(), invocation.path));
  if (!started.ok()) {
    report_start_failure(started.failure());
    co_return 1;
  }
  SimSession session = std::move(started.value());
  console().print("[green]✓[/green] The sim serves at " + session.address());
  report_isolation(outside::sim_runtime().last_isolation());

  Findings findings;
  Result result;
  auto stop = [&session](const std::exception_ptr&) { return session.stop(); };
  co_await finally(exercise(session, invocation, findings, result), std::move(stop));
  findings.report();
  // A failed call's cause is often in what the sim printed, e.g. a Python traceback.
  if (findings.problems() > 0 && !session.output().empty()) print_sim_output(session.output());

  report_latency(result.step_seconds);
  if (dataset && result.mappings) report_plan(*dataset, *result.mappings, findings);
  co_return summary(findings);
}

Outcome run_validate(const Validate& invocation, outside::SimRuntime& runtime) {
  const outside::ScopedSimRuntime installed(runtime);
  return run_interruptible(validate_sim(invocation), "Interrupted: stopping the sim...", kill_sims(runtime));
}

}  // namespace nalto::cli
