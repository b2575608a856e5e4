#pragma once

namespace nalto {

inline constexpr double REPORT_TIMEOUT_S = 120;
inline constexpr double REPORT_POLL_S = 5;

// The step's fixed time limits, in seconds. Only tests replace them (ScopedTiming), to run the long
// paths in milliseconds; the program never does.
struct Timing {
  double report_timeout_s = REPORT_TIMEOUT_S, report_poll_s = REPORT_POLL_S;
  double columns_request_s = 120, analysis_request_s = 600;
  double serving_s = 60, exit_wait_s = 10;  // starting and stopping the sim
  double close_claim_s = 30;                // closing a claim, which may follow a cancellation
};

const Timing& timing();

class ScopedTiming {
 public:
  explicit ScopedTiming(Timing t);
  ~ScopedTiming();
  ScopedTiming(const ScopedTiming&) = delete;
  ScopedTiming& operator=(const ScopedTiming&) = delete;

 private:
  Timing previous_;
};

}  // namespace nalto
