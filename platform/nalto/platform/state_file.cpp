#include "nalto/platform/state_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "nalto/platform/local_platform.hpp"
#include "nalto/support/fd.hpp"
#include "nalto/support/files.hpp"

namespace nalto::platform::detail {

namespace {

[[noreturn]] void fail(const std::filesystem::path& file, const std::string& what, int error) {
  throw StateFileError("Could not " + what + " the platform state file '" + file.string() +
                       "': " + std::strerror(error));
}

}  // namespace

std::optional<std::string> read_file(const std::filesystem::path& file) {
  const Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ENOENT) return std::nullopt;
    fail(file, "read", errno);
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = retry_eintr([&] { return ::read(fd.get(), buffer, sizeof buffer); });
    if (n == 0) break;
    if (n < 0) fail(file, "read", errno);
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

void write_atomically(const std::filesystem::path& file, const std::string& text) {
  try {
    write_file_atomically(file, text);
  } catch (const FileWriteError& e) {
    fail(file, e.step(), e.code().value());
  }
}

}  // namespace nalto::platform::detail
