#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>

#include "nalto/support/fd.hpp"

namespace nalto {

// A file that could not be written: the step that failed ("write", "replace", "make the folder of",
// "read the link of"), the system's error and the reason as the user reads it: the system's error
// text, or what is wrong with the file ("Is a FIFO, not a regular file").
class FileWriteError : public std::system_error {
 public:
  FileWriteError(std::string step, int error);
  FileWriteError(std::string step, int error, std::string reason);
  const std::string& step() const noexcept { return step_; }
  const std::string& reason() const noexcept { return reason_; }
  const char* what() const noexcept override { return message_.c_str(); }  // "<step>: <reason>"

 private:
  std::string step_;
  std::string reason_;
  std::string message_;
};

// A file that could not be read as the regular file it must be. `reason()` is the system's error text
// ("No such file or directory"), or says what is wrong with the file ("Is a FIFO, not a regular file",
// "Is larger than 16 MiB"); `code()` is the system's error, EINVAL for a file of the wrong kind (EISDIR
// for a folder) and EFBIG for one too large. what(): "Cannot open|read '<file>': <reason>".
class FileReadError : public std::system_error {
 public:
  FileReadError(const std::string& step, std::filesystem::path file, int error, std::string reason);
  const std::filesystem::path& file() const noexcept { return file_; }
  const std::string& reason() const noexcept { return reason_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::filesystem::path file_;
  std::string reason_;
  std::string message_;
};

// Opens `file` (its symlinks followed) to read, refusing what is no regular file: a FIFO, a device, a
// folder or a socket would block, never end or not be a file's content. A FIFO is opened without
// waiting for a writer. Failure -> FileReadError.
Fd open_regular_file(const std::filesystem::path& file);

// The whole content of the regular file `file`, refused when it holds more than `max_bytes`.
// Failure -> FileReadError.
std::string read_regular_file(const std::filesystem::path& file, std::size_t max_bytes);

// The file that a write to `file` replaces: `file`, or where its chain of symlinks ends (a dangling
// link names the file to make). Failure -> FileWriteError("read the link of").
std::filesystem::path resolve_symlinks(std::filesystem::path file);

// The file that a write to `file` replaces (resolve_symlinks), when that may be written: a regular file
// or none yet. Anything else that exists is refused (FileWriteError "write": a device or a FIFO would
// be replaced by a regular file, a folder cannot be), and so is a dangling symlink, which would have the
// write make the folders of wherever it points.
std::filesystem::path writable_target(const std::filesystem::path& file);

// Replaces `file` with `text` so that readers see either the old or the new content, never a part:
// a temporary file in the same folder, flushed to disk, renamed over it. Makes the folder if needed.
// A symlink stays a symlink (its target is replaced) and an existing file keeps its mode; a new file
// is readable by its owner only. What writable_target refuses is refused. Failure -> FileWriteError.
void write_file_atomically(const std::filesystem::path& file, const std::string& text);

// Makes `file` with `text`, whole, unless something of that name exists: then answers false and
// leaves it alone. The new file is readable by its owner only. Failure -> FileWriteError.
bool write_new_file_atomically(const std::filesystem::path& file, const std::string& text);

}  // namespace nalto
