#pragma once

#include <filesystem>
#include <string>
#include <system_error>
#include <utility>

namespace nalto {

// A file that could not be written: the step that failed ("write", "replace", "make the folder of")
// and the system's error.
class FileWriteError : public std::system_error {
 public:
  FileWriteError(std::string step, int error)
      : std::system_error(error, std::generic_category(), step), step_(std::move(step)) {}
  const std::string& step() const noexcept { return step_; }

 private:
  std::string step_;
};

// Replaces `file` with `text` so that readers see either the old or the new content, never a part:
// a temporary file in the same folder, flushed to disk, renamed over it. Makes the folder if needed.
// Failure -> FileWriteError.
void write_file_atomically(const std::filesystem::path& file, const std::string& text);

}  // namespace nalto
