#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "nalto/support/errors.hpp"
#include "nalto/support/fd.hpp"
#include "nalto/support/json.hpp"

namespace nalto::platform {

// The state file cannot be read, is not the platform's state, or cannot be written.
class StateFileError : public Error {
 public:
  using Error::Error;
  std::string_view type_name() const noexcept override { return "StateFileError"; }
};

// The largest state file read. A claim takes a few hundred bytes, a submitted one with its analysis a few
// kilobytes (tens with many sensors and the 50 warnings a submission may hold): this is room for thousands
// of claims, while the whole file, parsed into memory, still fits a small machine.
inline constexpr std::size_t STATE_FILE_MAX_BYTES = 64 * 1024 * 1024;

}  // namespace nalto::platform

namespace nalto::platform::detail {

Json empty_state();

// The state that the text of `file` holds; StateFileError (naming `file`) when it is not JSON or lacks
// a member that the platform and `nalto sim list` read.
Json parse_state(std::string_view text, const std::filesystem::path& file);

// The state in `file`, an empty one when there is no such file; StateFileError when it cannot be read
// (also when it is no regular file, a dangling symlink or holds more than `max_bytes`) or is no state.
Json load_state(const std::filesystem::path& file, std::size_t max_bytes = STATE_FILE_MAX_BYTES);

// Replaces `file` with `text` so that readers see either the old or the new content, never a part:
// a temporary file in the same folder, flushed to disk, renamed over it. Makes the folder if needed.
// A symlink is written through and the file keeps its mode; what writable_target refuses is refused.
void write_atomically(const std::filesystem::path& file, const std::string& text);

// The lock file of a state file: beside the file it resolves to, so that every path to one state file
// shares one lock and the rename of a rewrite leaves the lock alone. StateFileError for a state file
// that writable_target refuses, before any folder of the lock is made.
std::filesystem::path lock_file_of(const std::filesystem::path& state_file);

// An exclusive lock of a state file for one change, from construction to destruction: an advisory
// flock of its lock file, which is removed again on release. Waits at most `wait` for another holder;
// StateFileError naming the lock file after that.
class StateLock {
 public:
  StateLock(const std::filesystem::path& state_file, std::chrono::milliseconds wait);
  ~StateLock();
  StateLock(const StateLock&) = delete;
  StateLock& operator=(const StateLock&) = delete;

 private:
  std::filesystem::path lock_file_;
  Fd fd_;
};

}  // namespace nalto::platform::detail
