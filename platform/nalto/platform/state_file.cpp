#include "nalto/platform/state_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "nalto/platform/local_platform.hpp"

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
      : name_(std::move(name)), fd_(::mkstemp(name_.data())), exists_(fd_ >= 0) {}
  ~TempFile() {
    if (fd_ >= 0) ::close(fd_);
    if (exists_) ::unlink(name_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  int fd() const noexcept { return fd_; }
  const std::string& name() const noexcept { return name_; }
  int close() { return ::close(std::exchange(fd_, -1)); }
  void renamed() noexcept { exists_ = false; }

 private:
  std::string name_;
  int fd_;
  bool exists_;
};

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::optional<std::string> read_file(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    fail(file, "read", errno);
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      fail(file, "read", error);
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
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
  if (temp.close() != 0) fail(file, "write", errno);
  if (::rename(temp.name().c_str(), file.c_str()) != 0) fail(file, "replace", errno);
  temp.renamed();

  // The rename itself lasts only once the folder is on disk too.
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

}  // namespace nalto::platform::detail
