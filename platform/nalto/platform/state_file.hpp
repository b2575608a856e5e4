#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace nalto::platform::detail {

// The file's text, or nothing when it does not exist; StateFileError when it cannot be read.
std::optional<std::string> read_file(const std::filesystem::path& file);

// Replaces `file` with `text` so that readers see either the old or the new content, never a part:
// a temporary file in the same folder, flushed to disk, renamed over it. Makes the folder if needed.
void write_atomically(const std::filesystem::path& file, const std::string& text);

}  // namespace nalto::platform::detail
