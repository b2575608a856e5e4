#include "nalto-publish-report/cli.hpp"

#include <CLI/CLI.hpp>
#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include "nalto/support/hex.hpp"

namespace nalto::cli {

namespace {

namespace fs = std::filesystem;

constexpr const char* DESCRIPTION =
    "Makes the simulation report of a sim build: rolls the sim out over a dataset of the local compute "
    "node ($NALTO_COMPUTE_URL, default http://127.0.0.1:8470), submits the node's analysis to the local "
    "platform and prints the reports of the use cases that use the sim.";

std::string name_of_path(const std::string& path) {
  fs::path normal = fs::absolute(path).lexically_normal();
  if (!normal.has_filename()) normal = normal.parent_path();
  const std::string name = fs::is_regular_file(normal) ? normal.stem().string() : normal.filename().string();
  return name.empty() ? "sim" : name;
}

std::string read_text(const std::string& file, const std::string& option) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  if (!in || in.bad())
    throw CLI::ValidationError(option, "cannot read " + file + ": " + std::strerror(errno));
  return text.str();
}

Json env_init_of(const std::string& value) {
  const std::string text = value.starts_with('@') ? read_text(value.substr(1), "--env-init") : value;
  const Json parsed = Json::parse(text, nullptr, false);
  if (parsed.is_discarded()) throw CLI::ValidationError("--env-init", "not valid JSON");
  if (!parsed.is_object()) throw CLI::ValidationError("--env-init", "must be a JSON object");
  return parsed;
}

std::string sha256_check(const std::string& value) {
  if (is_hex(value, 64)) return {};
  return "must be 64 hexadecimal digits";
}

std::string seconds_check(const std::string& value) {
  double seconds = 0;
  try {
    seconds = std::stod(value);
  } catch (const std::exception&) {
    return "must be a number of seconds";
  }
  return std::isfinite(seconds) && seconds > 0 ? "" : "must be a positive number of seconds";
}

std::string lowercase(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

}  // namespace

std::variant<Invocation, int> parse_command_line(int argc, const char* const* argv) {
  Invocation invocation{.org_id = "local", .implementation_id = "local"};
  std::string bundle, bundle_sha256, env_init, platform_state;
  std::optional<std::string> project;

  CLI::App app(DESCRIPTION, "nalto-publish-report");
  app.footer(
      "Exit status: 0 when done, 1 when the report could not be made, 2 for bad usage. SIGINT or SIGTERM "
      "closes the claim and stops the sim, then ends the program by that signal; a second one ends it at "
      "once.");
  app.set_version_flag("--version", std::string("nalto-publish-report ") + NALTO_VERSION);
  const auto option = [&app]<class T>(const char* name, T& value, const char* type, const char* help) {
    return app.add_option(name, value, help)->type_name(type);
  };
  option("--path", invocation.path, "PATH", "The sim: an executable, or a folder holding sim.json")
      ->required()
      ->check(CLI::ExistingPath.description(""));
  option("--dataset", invocation.dataset_ref, "REF", "The dataset, as the compute node names it")->required();
  option("--org", invocation.org_id, "ID", "The organization's id")->capture_default_str();
  option("--sim", invocation.sim_id, "ID", "The published sim's id [default: the sim's name]");
  option("--sim-name", invocation.sim_name, "NAME",
         "The sim's name in the printed outcome [default: the name of --path]");
  option("--implementation", invocation.implementation_id, "ID", "The id of the build just published")
      ->capture_default_str();
  CLI::Option* bundle_option =
      option("--bundle", bundle, "FILE",
             "The published bundle, hashed with SHA-256 [default: --path when it is a file]")
          ->check(CLI::ExistingFile.description(""));
  option("--bundle-sha256", bundle_sha256, "HEX", "The published bundle's SHA-256")
      ->check(sha256_check)
      ->excludes(bundle_option);
  option("--project", project, "ID", "A use case to add the sim to first");
  option("--max-episodes", invocation.options.max_episodes, "N", "Most episodes to replay")
      ->capture_default_str()
      ->check(CLI::Range(1, INT_MAX).description(""));
  option("--env-init", env_init, "JSON|@FILE",
         "The sim's initialisation settings: a JSON object, or a file holding one");
  option("--call-timeout", invocation.options.call_timeout_s, "SECONDS",
         "Time allowed to each call into the sim during the replay")
      ->capture_default_str()
      ->check(seconds_check);
  option("--platform-state", platform_state, "FILE",
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
  app.add_flag("--platform-build-fails", invocation.platform.build_fails, "The sim's build fails")
      ->group(group);

  try {
    app.parse(argc, argv);
    if (!env_init.empty()) invocation.options.env_init = env_init_of(env_init);
    if (bundle.empty() && bundle_sha256.empty()) {
      if (!fs::is_regular_file(invocation.path))
        throw CLI::ValidationError("--bundle", "--bundle or --bundle-sha256 is required for a sim folder");
      bundle = invocation.path;
    }
  } catch (const CLI::ParseError& e) {
    // CLI11 echoes the arguments, which may hold anything: its text goes through the console too.
    std::ostringstream out, err;
    const int status = app.exit(e, out, err);
    console().write_out(out.str());
    console().write_err(err.str());
    return status == 0 ? 0 : 2;
  }

  invocation.options.project_id = project;
  if (invocation.sim_name.empty()) invocation.sim_name = name_of_path(invocation.path);
  if (invocation.sim_id.empty()) invocation.sim_id = invocation.sim_name;
  try {
    invocation.bundle_sha256 = bundle.empty() ? lowercase(bundle_sha256) : sha256_file(bundle);
    invocation.platform_state =
        platform_state.empty() ? platform::default_state_path() : fs::path(platform_state);
  } catch (...) {
    console().note(failure_text(std::current_exception()));
    return 1;
  }
  return invocation;
}

std::string failure_text(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const PublishReportError& e) {
    return e.what();
  } catch (const std::exception& e) {
    const std::string message = e.what();
    return "Error: " + type_name_of(e) + (message.empty() ? "" : ": " + message);
  } catch (...) {
    return "Error: unknown error";
  }
}

Outcome run(const Invocation& invocation, outside::SimRuntime& runtime) {
  const outside::ScopedSimRuntime installed(runtime);
  std::optional<platform::LocalPlatform> platform;
  try {
    platform.emplace(invocation.platform_state, invocation.platform);
  } catch (...) {
    console().note(failure_text(std::current_exception()));
    return {.exit_status = 1};
  }

  asio::cancellation_signal cancel;
  asio::io_context context;
  asio::signal_set signals(context, SIGINT, SIGTERM);
  int received = 0;
  signals.async_wait([&](const std::error_code& error, int signal) {
    if (error) return;
    received = signal;
    // A second signal ends the program at once, through the default action.
    signals.clear();
    console().note("Interrupted: closing the claim and stopping the sim...");
    cancel.emit(asio::cancellation_type::terminal);
  });

  std::exception_ptr failure;
  asio::co_spawn(context,
                 publish_report(*platform, invocation.org_id, invocation.sim_id, invocation.sim_name,
                                invocation.implementation_id, invocation.path, invocation.bundle_sha256,
                                invocation.dataset_ref, invocation.options),
                 asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr error) {
                   failure = error;
                   signals.cancel();
                 }));
  context.run();

  if (failure && !(received && is_cancellation(failure))) console().note(failure_text(failure));
  if (received) return {.exit_status = 128 + received, .signal = received};
  return {.exit_status = failure ? 1 : 0};
}

}  // namespace nalto::cli
