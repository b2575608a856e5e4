#include "nalto/platform/state_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "nalto/platform/local_platform.hpp"
#include "nalto/support/fd.hpp"

namespace nalto::platform::detail {

namespace {

[[noreturn]] void fail(const std::filesystem::path& file, const std::string& what, int error) {
  throw StateFileError("Could not " + what + " the platform state file '" + file.string() +
                       "': " + std::strerror(error));
}

// Removes the temporary file unless it was renamed into place.
class TempFile {
 public:
  explicit TempFile(std::string name)
      : name_(std::move(name)), fd_(::mkstemp(name_.data())), exists_(fd_.valid()) {}
  ~TempFile() {
    fd_.reset();
    if (exists_) ::unlink(name_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  int fd() const noexcept { return fd_.get(); }
  const std::string& name() const noexcept { return name_; }
  int close() noexcept { return fd_.close(); }
  void renamed() noexcept { exists_ = false; }

 private:
  std::string name_;
  Fd fd_;
  bool exists_;
};

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = retry_eintr([&] { return ::write(fd, text.data() + done, text.size() - done); });
    if (n < 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
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
  const std::filesystem::path folder = file.parent_path().empty() ? "." : file.parent_path();
  std::error_code made;
  std::filesystem::create_directories(folder, made);
  if (made) fail(file, "make the folder of", made.value());

  TempFile temp((folder / ("." + file.filename().string() + ".XXXXXX")).string());
  if (temp.fd() < 0) fail(file, "write", errno);
  if (!write_all(temp.fd(), text) || ::fsync(temp.fd()) != 0) fail(file, "write", errno);
  if (const int error = temp.close()) fail(file, "write", error);
  if (::rename(temp.name().c_str(), file.c_str()) != 0) fail(file, "replace", errno);
  temp.renamed();

  // The rename itself lasts only once the folder is on disk too.
  const Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
}

}  // namespace nalto::platform::detail
