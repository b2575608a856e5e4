#include "cli/sims.hpp"

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <cstdio>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "cli/options.hpp"
#include "nalto/platform/local_platform.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto::cli {

namespace {

const char* const STATE_HELP =
    "The local platform's state file [default: $XDG_STATE_HOME/nalto/platform-state.json, else "
    "~/.local/state/nalto/platform-state.json]";

// Code points of a closed claim's reason shown in the table, to keep it within a terminal's width.
constexpr std::size_t REASON_SHOWN = 60;

using SimKey = std::pair<std::string, std::string>;  // org, sim

struct SimRecord {
  std::vector<std::string> use_cases;
  std::vector<std::pair<std::string, const Json*>> claims;  // job id and claim, newest first
};

std::string text_of(const Json& record, std::string_view key) {
  const Json* value = lookup(record, key);
  return value ? markup_literal(plain_text(*value)) : "-";
}

std::string state_cell(const Json& claim) {
  const std::string state = text_of(claim, "state");
  if (state == "submitted") return "[green]submitted[/green]";
  if (state == "closed") return "[red]closed[/red]";
  return "[yellow]" + state + "[/yellow]";
}

// The score of a submitted claim, the start of a closed one's reason (the state file holds it whole).
std::string outcome_cell(const Json& claim) {
  if (const Json* failure = lookup(claim, "failure")) {
    const std::string reason = plain_text(*failure);
    const std::string_view shown = utf8::prefix(reason, REASON_SHOWN);
    return markup_literal(shown) + (shown.size() < reason.size() ? "…" : "");
  }
  const Json* score = member_at(claim, {"submission", "simulatorValidation", "evaluation", "score_percent"});
  if (!score || !score->is_number()) return "-";
  char buf[64];
  std::snprintf(buf, sizeof buf, "score %.1f", score->get<double>());
  return buf;
}

// The sims in the order they first appear: claims (oldest first, as the file keeps them), then links.
std::vector<std::pair<SimKey, SimRecord>> sims_of(const Json& state) {
  std::vector<std::pair<SimKey, SimRecord>> sims;
  const auto record = [&sims](const Json& entry) -> SimRecord& {
    SimKey key{text_of(entry, "org"), text_of(entry, "sim")};
    for (auto& [known, sim] : sims)
      if (known == key) return sim;
    return sims.emplace_back(std::move(key), SimRecord{}).second;
  };
  for (const auto& [job_id, claim] : subscript(state, "claims").items()) {
    auto& claims = record(claim).claims;
    claims.insert(claims.begin(), {job_id, &claim});
  }
  for (const Json& link : subscript(state, "links"))
    record(link).use_cases.push_back(text_of(link, "project"));
  return sims;
}

void print_sim(const SimKey& key, const SimRecord& sim) {
  const auto& [org, name] = key;
  std::string heading = "Sim " + name + (org == "local" ? "" : " (org " + org + ")") + ": ";
  if (sim.use_cases.empty()) {
    heading += "in no use case; add it with `nalto sim link --sim " + name + " --project ID`";
  } else {
    heading += sim.use_cases.size() == 1 ? "use case " : "use cases ";
    for (std::size_t i = 0; i < sim.use_cases.size(); ++i) heading += (i ? ", " : "") + sim.use_cases[i];
  }
  if (sim.claims.empty()) {
    console().print(heading + "; no claims yet");
    return;
  }
  Table table(heading, {"Job", "Created", "Implementation", "Dataset", "State", "Score or reason"});
  for (const auto& [job_id, claim] : sim.claims)
    table.add_row({job_id, text_of(*claim, "created"), text_of(*claim, "implementation"),
                   text_of(*claim, "dataset"), state_cell(*claim), outcome_cell(*claim)});
  console().print(table);
}

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
    const auto sims = sims_of(platform.state());
    if (sims.empty()) {
      console().print("No sims yet: publish one with `nalto sim publish` (state file " +
                      list.platform_state.string() + ").");
      return 0;
    }
    for (std::size_t i = 0; i < sims.size(); ++i) {
      if (i) console().print("");
      print_sim(sims[i].first, sims[i].second);
    }
    return 0;
  });
}

Outcome run_sim_link(const SimLink& link) {
  return run_reporting([&] {
    platform::LocalPlatform platform(link.platform_state);
    const Json wanted{{"org", link.org_id}, {"project", link.project_id}, {"sim", link.sim_id}};
    const Json& links = subscript(platform.state(), "links");
    if (std::find(links.begin(), links.end(), wanted) != links.end()) {
      console().print("The sim '" + link.sim_id + "' is already in the use case '" + link.project_id + "'.");
      return 0;
    }
    run_now(platform.link(link.org_id, link.project_id, link.sim_id));
    console().print("[green]✓[/green] Added the sim '" + link.sim_id + "' to the use case '" +
                    link.project_id + "'");
    return 0;
  });
}

}  // namespace nalto::cli
