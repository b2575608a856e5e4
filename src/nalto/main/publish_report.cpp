#include <utility>
#include <vector>

#include "nalto/analysis/analysis.hpp"
#include "nalto/console/console.hpp"
#include "nalto/main/answer.hpp"
#include "nalto/main/sim_publish_report.hpp"
#include "nalto/outside/compute_node.hpp"
#include "nalto/outside/logging.hpp"
#include "nalto/support/async.hpp"
#include "nalto/support/strings.hpp"
#include "nalto/support/timing.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto {

namespace {

constexpr std::size_t REASON_LIMIT = 500;
constexpr std::size_t WARNING_LIMIT = 500;
constexpr std::size_t SUBMITTED_WARNINGS = 50;

bool is_line_end(char32_t cp) {
  return cp == U'\n' || cp == U'\r' || cp == U'\v' || cp == U'\f' || (cp >= 0x1C && cp <= 0x1E) ||
         cp == 0x85 || cp == 0x2028 || cp == 0x2029;
}

std::string_view first_line(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    const utf8::Step step = utf8::decode(text, pos);
    if (is_line_end(step.code_point)) return text.substr(0, pos);
    pos += step.length;
  }
  return text;
}

std::string cut(std::string_view text, std::size_t code_points) {
  return std::string(utf8::prefix(text, code_points));
}

Json submission_body(const Json& artifact, const Json& result, const std::vector<std::string>& warnings) {
  const Json& identity = subscript(result, "dataset");
  Json submitted = Json::array();
  for (std::size_t i = 0; i < warnings.size() && i < SUBMITTED_WARNINGS; ++i)
    submitted.push_back(cut(warnings[i], WARNING_LIMIT));
  return Json{{"simulatorValidation", artifact},
              {"dataset",
               {{"contentMd5", subscript(identity, "content_md5")},
                {"contentSha256", subscript(identity, "content_sha256")}}},
              {"warnings", std::move(submitted)}};
}

}  // namespace

std::string failure_reason(const std::exception_ptr& failure) {
  std::string message;
  std::string type = "unknown error";
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    message = e.what();
    type = type_name_of(e);
  } catch (...) {
  }
  // The platform stores the reason as JSON text, so it must be valid UTF-8 whatever the failure held.
  const std::string clean = utf8::sanitize(message);
  const std::string_view trimmed = utf8::trim(clean);
  if (trimmed.empty()) return type;
  return cut(first_line(trimmed), REASON_LIMIT);
}

asio::awaitable<void> _close_claim(outside::PlatformApi& api, std::string org_id, std::string sim_id,
                                   std::string implementation_id, std::string job_id, std::string reason) {
  // Arguments of a co_await live in locals: GCC 12 may destroy temporaries there twice.
  Json body{{"failure", std::move(reason)}};
  const Attempt<Json> closed = co_await attempt(with_timeout(
      api.sims().publish_report_submit(org_id, sim_id, implementation_id, job_id, std::move(body)),
      timing().close_claim_s));
  if (closed.ok()) co_return;
  outside::step_logger()->debug("Could not close the report claim {}: {}", job_id,
                                utf8::sanitize(message_of(closed.failure())));
}

asio::awaitable<void> publish_report(outside::PlatformApi& api, std::string org_id, std::string sim_id,
                                     std::string sim_name, std::string implementation_id, std::string path,
                                     std::string bundle_sha256, std::string dataset_ref,
                                     PublishOptions options) {
  const Json dataset = co_await outside::resolve_local_dataset(api, org_id, dataset_ref);

  if (options.project_id && !options.project_id->empty()) {
    co_await api.project_sims().link(org_id, *options.project_id, sim_id);
    console().print("[green]✓[/green] Added the sim to the use case");
  }

  const std::string dataset_id = id_text(subscript(dataset, "id"), "the dataset's 'id'");
  Json claim;
  try {
    claim = co_await api.sims().publish_report_start(org_id, sim_id, implementation_id, dataset_id);
  } catch (const outside::APIStatusError& refusal) {
    throw PublishReportError(refusal.detail(), std::current_exception());
  }
  const std::string job_id = id_text(subscript(claim, "jobId"), "the claim's 'jobId'");
  if (options.hooks.claimed) options.hooks.claimed(claim);

  // From here on the claim is open: a failed analysis must close it, even when the task is cancelled.
  Json env_init = options.env_init && !options.env_init->empty() ? *options.env_init : Json::object();
  auto close_on_failure = [&](const std::exception_ptr& failure) -> asio::awaitable<void> {
    if (!failure) co_return;
    std::string reason = failure_reason(failure);
    co_await _close_claim(api, org_id, sim_id, implementation_id, job_id, std::move(reason));
  };
  const Json result =
      co_await finally(analyze(path, claim, dataset, bundle_sha256, options.max_episodes, std::move(env_init),
                               options.call_timeout_s, options.hooks.analysis, options.jobs),
                       std::move(close_on_failure));
  if (options.hooks.analyzed) options.hooks.analyzed(result);

  const std::vector<std::string> warnings = warnings_of(result);
  print_warnings(warnings);

  const Json* validation = lookup(result, "simulator_validation");
  if (!validation) {
    std::string reason =
        nothing_scored_reason(warnings, "The analysis could not be reported to the platform");
    co_await _close_claim(api, org_id, sim_id, implementation_id, job_id, reason);
    throw PublishReportError(reason);
  }
  const Json& artifact = *validation;
  const Json* score = lookup(subscript(artifact, "evaluation"), "score_percent");
  const std::size_t episodes = as_list(subscript(subscript(artifact, "dataset"), "selected_episodes"),
                                       "the artifact's 'selected_episodes'")
                                   .size();
  print_score_line(episodes, score);
  if (options.hooks.scored) options.hooks.scored(result);

  Json body = submission_body(artifact, result, warnings);
  co_await api.sims().publish_report_submit(org_id, sim_id, implementation_id, job_id, std::move(body));

  const Json status = co_await wait_for_reports(api, org_id, sim_id, implementation_id, job_id);
  render_reports(status, sim_name);
  if (options.hooks.reported) options.hooks.reported(status);
}

}  // namespace nalto
