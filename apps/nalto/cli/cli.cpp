#include "cli/cli.hpp"

#include <algorithm>
#include <sstream>
#include <string_view>

#include "nalto/support/utf8.hpp"

namespace nalto::cli {

namespace {

template <class... Ts>
struct overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
overloaded(Ts...) -> overloaded<Ts...>;

// An error's text with each line of more than a readable length cut: a line there names an option and
// what was wrong with the value given to it.
std::string cut_lines(std::string_view text) {
  constexpr std::size_t LINE_LIMIT = utf8::ECHO_LIMIT + 100;
  std::string out;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    out += utf8::echo(text.substr(0, end), LINE_LIMIT);
    if (end < text.size()) out += '\n';
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return out;
}

}  // namespace

std::variant<Command, int> parse_command_line(int argc, const char* const* argv) {
  CLI::App app(
      "Publishes sims to the platform with a report made on your own machine, and checks sims and the "
      "compute node's datasets first.",
      "nalto");
  app.set_version_flag("--version", std::string("nalto ") + NALTO_VERSION);
  app.require_subcommand(1);
  CLI::App* sim = app.add_subcommand("sim", "Publish, score, calibrate, check and link sims");
  sim->require_subcommand(1);

  std::optional<Command> command;
  const auto choose = [&command](auto chosen) { command = std::move(chosen); };
  add_publish(*sim, choose);
  add_score(*sim, choose);
  add_calibrate(*sim, choose);
  add_validate(*sim, choose);
  add_sim_list(*sim, choose);
  add_sim_link(*sim, choose);
  CLI::App* data = app.add_subcommand("data", "Show the compute node's datasets");
  data->require_subcommand(1);
  add_data_list(*data, choose);
  add_data_stats(*data, choose);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // CLI11 echoes the arguments, which may hold anything: its text goes through the console too, and
    // each line of an error is cut as a user's value is.
    std::ostringstream out, err;
    const int status = app.exit(e, out, err);
    console().write_out(out.str());
    console().write_err(cut_lines(err.str()));
    return status == 0 ? 0 : 2;
  } catch (...) {
    note_failure(std::current_exception());
    return 1;
  }
  return std::move(*command);
}

Outcome run(const Command& command, outside::SimRuntime& runtime) {
  return std::visit(overloaded{[&](const Publish& publish) { return run_publish(publish, runtime); },
                               [&](const Score& score) { return run_score(score, runtime); },
                               [&](const Calibrate& calibrate) { return run_calibrate(calibrate, runtime); },
                               [&](const Validate& validate) { return run_validate(validate, runtime); },
                               [](const SimList& list) { return run_sim_list(list); },
                               [](const SimLink& link) { return run_sim_link(link); },
                               [](const DataList& list) { return run_data_list(list); },
                               [](const DataStats& stats) { return run_data_stats(stats); }},
                    command);
}

}  // namespace nalto::cli
