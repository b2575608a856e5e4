#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "nalto/console/console.hpp"
#include "nalto/support/json.hpp"

namespace nalto::detail {

// "41,200 of 100,000 rows, 2,310 rows/s, about 25 s left": the rate and the estimate once rows have
// been replayed for a measurable time, the estimate while rows are left.
std::string replay_figures(std::int64_t done, std::int64_t total, double elapsed_s);

// The progress of a replay over every session, on the status line. With one session each episode's
// own status text is traced as it starts; with several, one text stands for the whole replay. The
// figures follow on a terminal only, redrawn at most every DRAW_INTERVAL; each episode that ends
// leaves one debug record with its time in the log "nalto.replay", apart from the traced texts.
class ReplayProgress {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration DRAW_INTERVAL = std::chrono::milliseconds(250);

  ReplayProgress(Status& status, const Json& episodes, std::size_t sessions,
                 std::function<Clock::time_point()> now = Clock::now);

  // Episode `k` (counted from 0) of the node's records begins.
  void started(std::size_t k);
  // One more row replayed.
  void stepped() {
    ++done_;
    const Clock::time_point now = now_();
    if (now >= next_draw_) draw(now);
  }
  // Episode `k` ended after `reached` rows on session `session`; the rows it did not reach count as
  // done, since they will never be replayed.
  void ended(std::size_t k, std::int64_t reached, std::size_t session);

 private:
  void draw(Clock::time_point now);

  Status& status_;
  const Json& episodes_;
  std::size_t sessions_;
  std::function<Clock::time_point()> now_;
  std::int64_t total_ = 0;
  std::int64_t done_ = 0;
  std::size_t started_ = 0;
  std::string text_;  // the traced text the figures follow
  Clock::time_point begun_;
  Clock::time_point next_draw_;
  std::vector<Clock::time_point> episode_begun_;
};

}  // namespace nalto::detail
