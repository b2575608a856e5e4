#include "support/non_regular_files.hpp"

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <stdexcept>

#include "nalto/support/errors.hpp"
#include "support/subprocess.hpp"

namespace nalto::testing {

namespace fs = std::filesystem;

TempFolder::TempFolder() {
  std::string pattern = (fs::temp_directory_path() / "nalto-files-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::vector<NonRegularFile> non_regular_files(const fs::path& folder) {
  const fs::path fifo = folder / "fifo";
  const fs::path subfolder = folder / "folder";
  if (::mkfifo(fifo.c_str(), 0600) != 0 && errno != EEXIST) throw std::runtime_error("cannot make a FIFO");
  fs::create_directories(subfolder);
  return {{"/dev/zero", "Is a character device, not a regular file"},
          {fifo, "Is a FIFO, not a regular file"},
          {subfolder, "Is a directory, not a regular file"}};
}

std::vector<NonRegularFile> non_regular_outputs(const fs::path& folder) {
  std::vector<NonRegularFile> outputs;
  const std::string device_reason = "Is a character device, not a regular file";
  if (::geteuid() != 0) {
    outputs.push_back({"/dev/null", device_reason});
  } else if (const fs::path device = folder / "null";
             ::mknod(device.c_str(), S_IFCHR | 0666, ::makedev(1, 3)) == 0) {
    outputs.push_back({device, device_reason});
  }
  for (NonRegularFile& file : non_regular_files(folder))
    if (file.path != "/dev/zero") outputs.push_back(std::move(file));
  fs::create_symlink(dangling_target(folder), folder / "dangling");
  outputs.push_back({folder / "dangling", "Is a dangling symlink, not a regular file"});
  return outputs;
}

fs::path dangling_target(const fs::path& folder) {
  return folder / "nowhere" / "file";
}

std::optional<std::string> failure_of(const std::function<void()>& call, std::chrono::milliseconds limit) {
  const auto child = Subprocess::fork([&call] {
    std::string failure = "no failure";
    try {
      call();
    } catch (const std::exception& e) {
      failure = type_name_of(e) + ": " + e.what();
    }
    return ::write(STDOUT_FILENO, failure.data(), failure.size()) == static_cast<ssize_t>(failure.size()) ? 0
                                                                                                          : 1;
  });
  const std::optional<ExitStatus> ended = child->finish(Subprocess::Clock::now() + limit);
  if (!ended || *ended != exited(0)) return std::nullopt;
  return child->out();
}

}  // namespace nalto::testing
