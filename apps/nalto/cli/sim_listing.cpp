#include "cli/sim_listing.hpp"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "nalto/console/console.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto::cli {

namespace {

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
    table.add_row({markup_literal(job_id), text_of(*claim, "created"), text_of(*claim, "implementation"),
                   text_of(*claim, "dataset"), state_cell(*claim), outcome_cell(*claim)});
  console().print(table);
}

}  // namespace

bool print_sim_listing(const Json& state) {
  const auto sims = sims_of(state);
  for (std::size_t i = 0; i < sims.size(); ++i) {
    if (i) console().print("");
    print_sim(sims[i].first, sims[i].second);
  }
  return !sims.empty();
}

}  // namespace nalto::cli
