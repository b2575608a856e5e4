#include "nalto/analysis/progress.hpp"

#include <algorithm>
#include <cmath>

#include "nalto/analysis/internal.hpp"
#include "nalto/outside/logging.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto::detail {

namespace {

std::string grouped(std::int64_t n) {
  std::string digits = std::to_string(n < 0 ? 0 : n);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

std::string time_left(double seconds) {
  if (seconds < 90) return "about " + std::to_string(std::max<long>(1, std::lround(seconds))) + " s left";
  return "about " + std::to_string(std::lround(seconds / 60)) + " min left";
}

std::string episode_text(const Json& record) {
  return plain_text(subscript(record, "episode"));
}

std::string replay_status(const Json& record, std::size_t k, std::size_t total) {
  return "Replaying episode " + markup_literal(episode_text(record)) + " (" + std::to_string(k) + " of " +
         std::to_string(total) + ", " + plain_text(subscript(record, "n_rows")) + " rows) through the sim...";
}

}  // namespace

std::string replay_figures(std::int64_t done, std::int64_t total, double elapsed_s) {
  std::string text = grouped(done) + " of " + grouped(total) + " rows";
  if (done <= 0 || !(elapsed_s > 0)) return text;
  const double rate = static_cast<double>(done) / elapsed_s;
  text += ", " + grouped(std::llround(rate)) + " rows/s";
  if (done < total) text += ", " + time_left(static_cast<double>(total - done) / rate);
  return text;
}

ReplayProgress::ReplayProgress(Status& status, const Json& episodes, std::size_t sessions,
                               std::function<Clock::time_point()> now)
    : status_(status),
      episodes_(episodes),
      sessions_(sessions),
      now_(std::move(now)),
      begun_(now_()),
      next_draw_(begun_ + DRAW_INTERVAL),
      episode_begun_(episodes.size(), begun_) {
  // A record without a row count fails once its episode is replayed; until then it counts no rows.
  for (const Json& record : episodes) {
    const Json* n_rows = lookup(record, "n_rows");
    if (n_rows && n_rows->is_number_integer()) total_ += row_count(record);
  }
}

void ReplayProgress::started(std::size_t k) {
  ++started_;
  episode_begun_[k] = now_();
  const Json& record = episodes_[k];
  if (sessions_ == 1) {
    text_ = replay_status(record, k + 1, episodes_.size());
    status_.update(text_);
  }
  draw(episode_begun_[k]);
}

void ReplayProgress::ended(std::size_t k, std::int64_t reached, std::size_t session) {
  const Json& record = episodes_[k];
  done_ += std::max<std::int64_t>(0, row_count(record) - reached);
  const double seconds = std::chrono::duration<double>(now_() - episode_begun_[k]).count();
  const std::string on =
      sessions_ == 1 ? "" : ", sim " + std::to_string(session + 1) + " of " + std::to_string(sessions_);
  outside::get_logger("nalto.replay")
      ->debug("Replayed episode {} in {:.3f} s ({} rows{})", utf8::sanitize(episode_text(record)), seconds,
              reached, on);
}

void ReplayProgress::draw(Clock::time_point now) {
  next_draw_ = now + DRAW_INTERVAL;
  const std::string figures =
      replay_figures(done_, total_, std::chrono::duration<double>(now - begun_).count());
  if (sessions_ == 1) {
    status_.draw(text_ + " " + figures);
    return;
  }
  status_.draw("Replaying " + std::to_string(started_) + " of " + std::to_string(episodes_.size()) +
               " episodes, " + figures + "...");
}

}  // namespace nalto::detail
