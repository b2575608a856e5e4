// sha256_file against `openssl dgst -sha256` and `sha256sum` on the same file, median of 3 runs
// each, from the page cache; and the peak resident memory, which must not grow with the file.
//
//   sha256_file_bench [SIZE_MIB]      (default 1024)

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "nalto/main/sim_publish_report.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

long peak_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

double median_seconds(const std::function<void()>& run) {
  std::vector<double> times;
  for (int i = 0; i < 3; ++i) {
    const auto start = Clock::now();
    run();
    times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[1];
}

void shell(const std::string& command) {
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? std::stoul(argv[1]) : 1024;
  const fs::path path = fs::temp_directory_path() / ("nalto-sha-bench-" + std::to_string(::getpid()));
  {
    std::ofstream out(path, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    std::mt19937_64 rng(7);
    for (std::size_t i = 0; i < mib; ++i) {
      for (auto& c : chunk) c = static_cast<char>(rng());
      out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    }
  }
  const double bytes = static_cast<double>(mib) * (1 << 20);
  const std::string quoted = "'" + path.string() + "'";

  const long rss_before = peak_rss_kib();
  std::string digest = nalto::sha256_file(path.string());  // warms the page cache
  const double ours = median_seconds([&] { digest = nalto::sha256_file(path.string()); });
  const long rss_after = peak_rss_kib();
  const double openssl = median_seconds([&] { shell("openssl dgst -sha256 " + quoted + " > /dev/null"); });
  const double coreutils = median_seconds([&] { shell("sha256sum " + quoted + " > /dev/null"); });
  fs::remove(path);

  const auto rate = [&](double seconds) { return bytes / seconds / 1e9; };
  std::printf("file: %zu MiB, digest %s\n", mib, digest.c_str());
  std::printf("sha256_file        %6.3f s  %5.2f GB/s\n", ours, rate(ours));
  std::printf("openssl dgst       %6.3f s  %5.2f GB/s\n", openssl, rate(openssl));
  std::printf("sha256sum          %6.3f s  %5.2f GB/s\n", coreutils, rate(coreutils));
  std::printf("ratio to openssl   %6.2f   (aim >= 0.95)\n", openssl / ours);
  std::printf("ratio to sha256sum %6.2f\n", coreutils / ours);
  std::printf("peak RSS           %ld KiB before hashing, %ld KiB after (growth %ld KiB)\n", rss_before,
              rss_after, rss_after - rss_before);
}
