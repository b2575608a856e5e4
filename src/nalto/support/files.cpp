#include "nalto/support/files.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace nalto {

namespace {

constexpr std::size_t MIB = 1024 * 1024;
constexpr int MAX_LINKS = 40;  // as many as the kernel follows in one path

[[noreturn]] void fail(const char* step, int error) {
  throw FileWriteError(step, error);
}

[[noreturn]] void refuse(const char* step, const std::filesystem::path& file, int error) {
  throw FileReadError(step, file, error, std::strerror(error));
}

std::string size_text(std::size_t bytes) {
  if (bytes >= MIB && bytes % MIB == 0) return std::to_string(bytes / MIB) + " MiB";
  return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

// What a file that is no regular file is, for telling the user.
const char* kind_of(mode_t mode) {
  if (S_ISDIR(mode)) return "Is a directory";
  if (S_ISFIFO(mode)) return "Is a FIFO";
  if (S_ISCHR(mode)) return "Is a character device";
  if (S_ISBLK(mode)) return "Is a block device";
  if (S_ISSOCK(mode)) return "Is a socket";
  return "Is a special file";
}

std::string not_regular(mode_t mode) {
  return std::string(kind_of(mode)) + ", not a regular file";
}

// The opened regular file and what fstat says of it.
Fd open_checked(const std::filesystem::path& file, struct stat& status) {
  // O_NONBLOCK: opening a FIFO would otherwise wait for a writer; O_NOCTTY: a terminal stays no
  // controlling terminal.
  Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd.valid()) refuse("open", file, errno);
  if (::fstat(fd.get(), &status) != 0) refuse("open", file, errno);
  if (!S_ISREG(status.st_mode))
    throw FileReadError("read", file, S_ISDIR(status.st_mode) ? EISDIR : EINVAL, not_regular(status.st_mode));
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) refuse("open", file, errno);
  return fd;
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

FileWriteError::FileWriteError(std::string step, int error)
    : FileWriteError(std::move(step), error, std::strerror(error)) {}

FileWriteError::FileWriteError(std::string step, int error, std::string reason)
    : std::system_error(error, std::generic_category()),
      step_(std::move(step)),
      reason_(std::move(reason)),
      message_(step_ + ": " + reason_) {}

FileReadError::FileReadError(const std::string& step, std::filesystem::path file, int error,
                             std::string reason)
    : std::system_error(error, std::generic_category()),
      file_(std::move(file)),
      reason_(std::move(reason)),
      message_("Cannot " + step + " '" + file_.string() + "': " + reason_) {}

Fd open_regular_file(const std::filesystem::path& file) {
  struct stat status {};
  return open_checked(file, status);
}

std::string read_regular_file(const std::filesystem::path& file, std::size_t max_bytes) {
  struct stat status {};
  const Fd fd = open_checked(file, status);
  const auto too_large = [&] {
    throw FileReadError("read", file, EFBIG, "Is larger than " + size_text(max_bytes));
  };
  if (static_cast<std::size_t>(status.st_size) > max_bytes) too_large();

  std::string text;
  text.reserve(static_cast<std::size_t>(status.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = retry_eintr([&] { return ::read(fd.get(), buffer, sizeof buffer); });
    if (n == 0) return text;
    if (n < 0) refuse("read", file, errno);
    // The file may have grown since fstat.
    if (static_cast<std::size_t>(n) > max_bytes - text.size()) too_large();
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

std::filesystem::path resolve_symlinks(std::filesystem::path file) {
  for (int links = 0; links <= MAX_LINKS; ++links) {
    struct stat status {};
    if (::lstat(file.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return file;
    std::error_code error;
    const std::filesystem::path target = std::filesystem::read_symlink(file, error);
    if (error) fail("read the link of", error.value());
    file = target.is_absolute() ? target : file.parent_path() / target;
  }
  fail("read the link of", ELOOP);
}

std::filesystem::path writable_target(const std::filesystem::path& file) {
  const std::filesystem::path target = resolve_symlinks(file);
  struct stat status {};
  if (::lstat(target.c_str(), &status) == 0) {
    if (!S_ISREG(status.st_mode))
      throw FileWriteError("write", S_ISDIR(status.st_mode) ? EISDIR : EINVAL, not_regular(status.st_mode));
  } else if (errno == ENOENT && target != file) {
    throw FileWriteError("write", ENOENT, "Is a dangling symlink, not a regular file");
  }
  return target;
}

void write_file_atomically(const std::filesystem::path& file, const std::string& text) {
  const std::filesystem::path target = writable_target(file);
  const std::filesystem::path folder = target.parent_path().empty() ? "." : target.parent_path();
  std::error_code made;
  std::filesystem::create_directories(folder, made);
  if (made) fail("make the folder of", made.value());

  struct stat existing {};
  const bool replacing = ::stat(target.c_str(), &existing) == 0;
  TempFile temp((folder / ("." + target.filename().string() + ".XXXXXX")).string());
  if (temp.fd() < 0) fail("write", errno);
  if (replacing && ::fchmod(temp.fd(), existing.st_mode & 07777) != 0) fail("write", errno);
  if (!write_all(temp.fd(), text) || ::fsync(temp.fd()) != 0) fail("write", errno);
  if (const int error = temp.close()) fail("write", error);
  if (::rename(temp.name().c_str(), target.c_str()) != 0) fail("replace", errno);
  temp.renamed();

  // The rename itself lasts only once the folder is on disk too.
  const Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
}

bool write_new_file_atomically(const std::filesystem::path& file, const std::string& text) {
  const std::filesystem::path folder = file.parent_path().empty() ? "." : file.parent_path();
  TempFile temp((folder / ("." + file.filename().string() + ".XXXXXX")).string());
  if (temp.fd() < 0) fail("write", errno);
  if (!write_all(temp.fd(), text) || ::fsync(temp.fd()) != 0) fail("write", errno);
  if (const int error = temp.close()) fail("write", error);
  // A link, unlike a rename, never replaces what is there: the name is taken whole or not at all.
  if (::link(temp.name().c_str(), file.c_str()) != 0) {
    if (errno == EEXIST) return false;
    fail("write", errno);
  }
  const Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
  return true;
}

}  // namespace nalto
