#include "nalto/platform/state_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <system_error>
#include <thread>

#include "nalto/support/files.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto::platform::detail {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::filesystem::path& file, const std::string& what, const std::string& why) {
  throw StateFileError("Could not " + what + " the platform state file '" + utf8::echo(file.string()) +
                       "': " + why);
}

[[noreturn]] void fail(const std::filesystem::path& file, const std::string& what, int error) {
  fail(file, what, std::strerror(error));
}

bool is_text(const Json* value) {
  return value && value->is_string();
}

bool has_texts(const Json& record, std::initializer_list<const char*> keys) {
  if (!record.is_object()) return false;
  for (const char* key : keys)
    if (!is_text(lookup(record, key))) return false;
  return true;
}

bool well_formed(const Json& state) {
  if (!state.is_object()) return false;
  const Json* claims = lookup(state, "claims");
  const Json* links = lookup(state, "links");
  if (!claims || !claims->is_object() || !links || !links->is_array()) return false;
  for (const Json& claim : *claims) {
    if (!has_texts(claim, {"org", "sim", "implementation", "dataset", "state"})) return false;
    const Json& state_name = subscript(claim, "state");
    if (state_name != "open" && state_name != "closed" && state_name != "submitted") return false;
  }
  for (const Json& link : *links)
    if (!has_texts(link, {"org", "project", "sim"})) return false;
  return true;
}

std::string seconds_text(std::chrono::milliseconds wait) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", std::chrono::duration<double>(wait).count());
  return text;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

Json empty_state() {
  return Json{{"claims", Json::object()}, {"links", Json::array()}};
}

Json parse_state(std::string_view text, const std::filesystem::path& file) {
  Json state;
  try {
    state = parse_json(text);
  } catch (const JSONDecodeError&) {
  }
  if (!well_formed(state))
    throw StateFileError("The platform state file '" + utf8::echo(file.string()) +
                         "' is corrupt; move it away to start afresh");
  return state;
}

Json load_state(const std::filesystem::path& file, std::size_t max_bytes) {
  std::string text;
  try {
    text = read_regular_file(file, max_bytes);
  } catch (const FileReadError& e) {
    if (e.code().value() != ENOENT) fail(file, "read", e.reason());
    // No file yet is an empty state, unless the name is a link to nowhere, which a write would follow.
    try {
      writable_target(file);
    } catch (const FileWriteError& refused) {
      fail(file, "read", refused.reason());
    }
    return empty_state();
  }
  return parse_state(text, file);
}

void write_atomically(const std::filesystem::path& file, const std::string& text) {
  try {
    write_file_atomically(file, text);
  } catch (const FileWriteError& e) {
    fail(file, e.step(), e.reason());
  }
}

std::filesystem::path lock_file_of(const std::filesystem::path& state_file) {
  try {
    return writable_target(state_file) += ".lock";
  } catch (const FileWriteError& e) {
    fail(state_file, e.step(), e.reason());
  }
}

StateLock::StateLock(const std::filesystem::path& state_file, std::chrono::milliseconds wait)
    : lock_file_(lock_file_of(state_file)) {
  std::error_code made;
  std::filesystem::create_directories(lock_file_.parent_path().empty() ? "." : lock_file_.parent_path(),
                                      made);
  if (made) fail(state_file, "make the folder of", made.value());

  const Clock::time_point deadline = Clock::now() + wait;
  std::chrono::milliseconds pause{1};
  for (;;) {
    Fd fd(::open(lock_file_.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644));
    if (!fd.valid()) fail(state_file, "lock", errno);
    if (retry_eintr([&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); }) == 0) {
      // The holder before may have removed the file after this one opened it: then the lock is only
      // ours if the file under the name is still the one locked.
      struct stat held {
      }, named{};
      if (::fstat(fd.get(), &held) == 0 && ::stat(lock_file_.c_str(), &named) == 0 &&
          same_file(held, named)) {
        fd_ = std::move(fd);
        return;
      }
      continue;
    }
    if (errno != EWOULDBLOCK) fail(state_file, "lock", errno);
    const Clock::time_point now = Clock::now();
    if (now >= deadline)
      fail(state_file, "lock",
           "another process has held its lock file '" + lock_file_.string() + "' for " + seconds_text(wait) +
               " s (a nalto that hangs?); try again once it has ended");
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds{32});
  }
}

StateLock::~StateLock() {
  // Removed while still locked, so that whoever opens the name next makes and locks a new file.
  ::unlink(lock_file_.c_str());
}

}  // namespace nalto::platform::detail
