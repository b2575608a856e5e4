#include "nalto/support/files.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "nalto/support/fd.hpp"

namespace nalto {

namespace {

[[noreturn]] void fail(const char* step, int error) {
  throw FileWriteError(step, error);
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

void write_file_atomically(const std::filesystem::path& file, const std::string& text) {
  const std::filesystem::path folder = file.parent_path().empty() ? "." : file.parent_path();
  std::error_code made;
  std::filesystem::create_directories(folder, made);
  if (made) fail("make the folder of", made.value());

  TempFile temp((folder / ("." + file.filename().string() + ".XXXXXX")).string());
  if (temp.fd() < 0) fail("write", errno);
  if (!write_all(temp.fd(), text) || ::fsync(temp.fd()) != 0) fail("write", errno);
  if (const int error = temp.close()) fail("write", error);
  if (::rename(temp.name().c_str(), file.c_str()) != 0) fail("replace", errno);
  temp.renamed();

  // The rename itself lasts only once the folder is on disk too.
  const Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
}

}  // namespace nalto
