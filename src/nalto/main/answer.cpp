#include "nalto/main/answer.hpp"

#include "nalto/console/console.hpp"
#include "nalto/support/strings.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto {

namespace {

constexpr std::size_t REASON_LIMIT = 500;

std::vector<std::string> texts_at(const Json& result, std::initializer_list<std::string_view> path,
                                  const std::string& what) {
  std::vector<std::string> texts;
  const Json* listed = member_at(result, path);
  if (!listed) return texts;
  for (const Json& text : as_list(*listed, what)) texts.push_back(plain_text(text));
  return texts;
}

const Json& null_json() {
  static const Json none;
  return none;
}

// The warning of a page that was asked for and not written; none for a page written.
std::vector<std::string> refusal_warnings(const EvidencePage& page) {
  if (!page.path.empty()) return {};
  return {"no evidence page: " + page.refused};
}

}  // namespace

std::vector<std::string> warnings_of(const Json& result) {
  return texts_at(result, {"warnings"}, "the analysis's 'warnings'");
}

std::vector<std::string> hints_of(const Json& result) {
  // Extras of the node's, never worth failing a publish over: a malformed list is none.
  const Json* listed = member_at(result, {"diagnostics", "hints"});
  if (!listed || !listed->is_array()) return {};
  return texts_at(result, {"diagnostics", "hints"}, "the diagnostics' 'hints'");
}

const Json& evaluation_of(const Json& result) {
  if (const Json* found = member_at(result, {"simulator_validation", "evaluation"})) return *found;
  if (const Json* found = member_at(result, {"evaluation"})) return *found;
  return null_json();
}

std::size_t episodes_of(const Json& result) {
  const Json* selected = member_at(result, {"simulator_validation", "dataset", "selected_episodes"});
  if (!selected) selected = member_at(result, {"dataset", "selected_episodes"});
  if (!selected) return 0;
  return as_list(*selected, "the analysis's 'selected_episodes'").size();
}

const Json* diagnosis_of(const Json& result, const Json& sensor) {
  const Json* listed = member_at(result, {"diagnostics", "sensors"});
  const Json* key = member_at(sensor, {"key"});
  if (!listed || !listed->is_array() || !key) return nullptr;
  for (const Json& diagnosis : *listed)
    if (const Json* named = member_at(diagnosis, {"key"}); named && *named == *key) return &diagnosis;
  return nullptr;
}

void print_warnings(const std::vector<std::string>& warnings) {
  for (const std::string& warning : warnings)
    console().print("[dim]warning: " + markup_literal(warning) + "[/dim]");
}

void print_score_line(std::size_t episodes, const Json* score) {
  console().print("[green]✓[/green] Analyzed " + std::to_string(episodes) + " episodes: score " +
                  (score ? plain_text(*score) : "-"));
}

std::optional<EvidencePage> evidence_page_of(const Json& result) {
  const Json* page = member_at(result, {"evidence_page"});
  if (!page || !page->is_object()) return std::nullopt;
  const Json* path = member_at(*page, {"path"});
  if (path && path->is_string() && !path->get_ref<const std::string&>().empty())
    return EvidencePage{.id = page->value("id", Json()), .path = path->get<std::string>(), .refused = ""};
  const Json* refused = member_at(*page, {"refused"});
  return EvidencePage{.id = nullptr,
                      .path = "",
                      .refused = refused && refused->is_string() ? refused->get<std::string>()
                                                                 : "the compute node gave no reason"};
}

std::vector<std::string> evidence_page_warnings(const Json& result) {
  const std::optional<EvidencePage> page = evidence_page_of(result);
  return page ? refusal_warnings(*page) : std::vector<std::string>{};
}

void print_evidence_page(const EvidencePage& page) {
  if (page.path.empty())
    print_warnings(refusal_warnings(page));
  else
    console().print("Evidence page: " + markup_literal(page.path));
}

std::string nothing_scored_reason(const std::vector<std::string>& warnings, const std::string& otherwise) {
  std::string reason(utf8::prefix(join(warnings, "; "), REASON_LIMIT));
  return reason.empty() ? otherwise : reason;
}

}  // namespace nalto
