#pragma once

#include <optional>
#include <vector>

namespace nalto::check {

// How long a call took over a run, in seconds.
struct Latency {
  double median = 0, p99 = 0, max = 0;
};

// The median (the mean of the middle two for an even count), the 99th percentile (nearest rank) and
// the maximum of `seconds`; absent when there is none.
std::optional<Latency> latency_of(std::vector<double> seconds);

}  // namespace nalto::check
