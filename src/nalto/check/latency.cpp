#include "nalto/check/latency.hpp"

#include <algorithm>
#include <cmath>

namespace nalto::check {

std::optional<Latency> latency_of(std::vector<double> seconds) {
  if (seconds.empty()) return std::nullopt;
  std::sort(seconds.begin(), seconds.end());
  const std::size_t n = seconds.size();
  const double median = n % 2 ? seconds[n / 2] : (seconds[n / 2 - 1] + seconds[n / 2]) / 2;
  const auto rank = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(n)));
  return Latency{.median = median, .p99 = seconds[std::max<std::size_t>(rank, 1) - 1], .max = seconds.back()};
}

}  // namespace nalto::check
