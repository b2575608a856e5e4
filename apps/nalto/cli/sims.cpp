#include "cli/sims.hpp"

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <memory>
#include <utility>

#include "cli/options.hpp"
#include "cli/sim_listing.hpp"
#include "nalto/platform/local_platform.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto::cli {

namespace {

const char* const STATE_HELP =
    "The local platform's state file [default: $XDG_STATE_HOME/nalto/platform-state.json, else "
    "~/.local/state/nalto/platform-state.json]";

// The platform's calls are quick file work, done inline; one loop run takes the coroutine's answer.
template <class T>
T run_now(asio::awaitable<T> call) {
  asio::io_context context;
  std::future<T> answer = asio::co_spawn(context, std::move(call), asio::use_future);
  context.run();
  return answer.get();
}

void add_state_option(CLI::App& app, std::shared_ptr<std::string> state) {
  app.add_option("--platform-state", *state, STATE_HELP)->type_name("FILE");
}

}  // namespace

CLI::App* add_sim_list(CLI::App& sim, std::function<void(SimList)> chosen) {
  CLI::App* app = sim.add_subcommand("list", "List the sims the local platform knows, with their claims");
  const auto state = std::make_shared<std::string>();
  add_state_option(*app, state);
  app->callback([state, chosen] { chosen(SimList{.platform_state = state_path(*state)}); });
  return app;
}

CLI::App* add_sim_link(CLI::App& sim, std::function<void(SimLink)> chosen) {
  CLI::App* app = sim.add_subcommand("link", "Add a sim to a use case on the local platform");
  const auto given = std::make_shared<SimLink>(SimLink{.org_id = "local"});
  const auto state = std::make_shared<std::string>();
  app->add_option("--sim", given->sim_id, "The sim's id")->type_name("ID")->required();
  app->add_option("--project", given->project_id, "The use case's id")->type_name("ID")->required();
  app->add_option("--org", given->org_id, "The organization's id")->type_name("ID")->capture_default_str();
  add_state_option(*app, state);
  app->callback([given, state, chosen] {
    SimLink link = *given;
    link.platform_state = state_path(*state);
    chosen(std::move(link));
  });
  return app;
}

Outcome run_sim_list(const SimList& list) {
  return run_reporting([&] {
    const platform::LocalPlatform platform(list.platform_state);
    if (!print_sim_listing(platform.state()))
      console().print("No sims yet: publish one with `nalto sim publish` (state file " +
                      markup_literal(utf8::echo(list.platform_state.string())) + ").");
    return 0;
  });
}

Outcome run_sim_link(const SimLink& link) {
  return run_reporting([&] {
    platform::LocalPlatform platform(link.platform_state);
    const Json wanted{{"org", link.org_id}, {"project", link.project_id}, {"sim", link.sim_id}};
    const Json& links = subscript(platform.state(), "links");
    if (std::find(links.begin(), links.end(), wanted) != links.end()) {
      console().print("The sim '" + markup_literal(utf8::echo(link.sim_id)) +
                      "' is already in the use case '" + markup_literal(utf8::echo(link.project_id)) + "'.");
      return 0;
    }
    run_now(platform.link(link.org_id, link.project_id, link.sim_id));
    console().print("[green]✓[/green] Added the sim '" + markup_literal(utf8::echo(link.sim_id)) +
                    "' to the use case '" + markup_literal(utf8::echo(link.project_id)) + "'");
    return 0;
  });
}

}  // namespace nalto::cli
