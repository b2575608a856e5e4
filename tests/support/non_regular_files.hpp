#pragma once

// Files that are no regular files, for the tests of what must refuse them without blocking.

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace nalto::testing {

// A fresh temporary folder, removed with what it holds.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const noexcept { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// A file that blocks or never ends when read as a file, and the reason a refusal gives.
struct NonRegularFile {
  std::filesystem::path path;
  std::string reason;
};

// /dev/zero, a FIFO without a writer and a folder, the last two made in `folder`.
std::vector<NonRegularFile> non_regular_files(const std::filesystem::path& folder);

// Outputs a write must refuse and leave as they are, each with the reason its refusal gives: a character
// device, a FIFO, a folder and a dangling symlink, made in `folder`. The device is /dev/null for a user,
// who cannot replace it; for root, who could, it is a device node made in `folder`, and none when root
// may not make one.
std::vector<NonRegularFile> non_regular_outputs(const std::filesystem::path& folder);

// Where the dangling symlink of non_regular_outputs points: inside a folder that must never be made.
std::filesystem::path dangling_target(const std::filesystem::path& folder);

// What `call` throws, as "<type name>: <message>", or "no failure"; it runs in a child process, so that
// a call that blocks or reads for ever fails the test when `limit` has passed (nothing is answered) rather
// than hanging it.
std::optional<std::string> failure_of(const std::function<void()>& call,
                                      std::chrono::milliseconds limit = std::chrono::seconds(5));

}  // namespace nalto::testing
