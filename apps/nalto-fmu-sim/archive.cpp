#include "archive.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

namespace nalto::fmu {
namespace {

namespace fs = std::filesystem;

struct ZipCloser {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct EntryCloser {
  void operator()(zip_file_t* entry) const { zip_fclose(entry); }
};
struct FdCloser {
  int fd;
  ~FdCloser() { ::close(fd); }
};

std::string in_quotes(std::string_view text) {
  return "'" + std::string(text) + "'";
}

// The entry's path parts; refused when it could land outside the folder.
std::vector<std::string> parts_of(std::string_view name) {
  if (name.empty()) throw FmuError("the FMU holds an entry without a name");
  if (name.front() == '/' || name.front() == '\\' || (name.size() > 1 && name[1] == ':'))
    throw FmuError("the FMU's entry " + in_quotes(name) + " is an absolute path; refused");
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= name.size()) {
    const std::size_t end = std::min(name.find_first_of("/\\", start), name.size());
    const std::string_view part = name.substr(start, end - start);
    if (part == "..") throw FmuError("the FMU's entry " + in_quotes(name) + " climbs out with '..'; refused");
    if (!part.empty() && part != ".") parts.emplace_back(part);
    start = end + 1;
  }
  return parts;
}

bool is_symlink_entry(zip_t* archive, zip_uint64_t index) {
  zip_uint8_t system = 0;
  zip_uint32_t attributes = 0;
  if (zip_file_get_external_attributes(archive, index, 0, &system, &attributes) != 0) return false;
  return system == ZIP_OPSYS_UNIX && S_ISLNK(attributes >> 16);
}

void make_folder(const fs::path& path) {
  if (::mkdir(path.c_str(), 0700) == 0) return;
  struct stat st {};
  if (errno == EEXIST && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
  throw FmuError("cannot make the folder " + path.string() + ": " + std::strerror(errno));
}

fs::path make_parents(const fs::path& root, const std::vector<std::string>& parts, std::size_t count) {
  fs::path at = root;
  for (std::size_t i = 0; i < count; ++i) {
    at /= parts[i];
    make_folder(at);
  }
  return at;
}

void write_all(int fd, const char* data, std::size_t size, const fs::path& path) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw FmuError("cannot write " + path.string() + ": " + std::strerror(errno));
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

// The bound is kept on the bytes read, not on the sizes the archive declares, which may lie.
void extract(zip_t* archive, zip_uint64_t index, const std::string& name, const fs::path& path,
             std::uint64_t& left) {
  const std::unique_ptr<zip_file_t, EntryCloser> entry(zip_fopen_index(archive, index, 0));
  if (!entry) throw FmuError("cannot read the FMU's entry " + in_quotes(name) + ": " + zip_strerror(archive));
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST) throw FmuError("the FMU holds " + in_quotes(name) + " twice; refused");
    throw FmuError("cannot write " + path.string() + ": " + std::strerror(errno));
  }
  const FdCloser closer{fd};
  std::array<char, 64 * 1024> buffer;
  for (;;) {
    const zip_int64_t n = zip_fread(entry.get(), buffer.data(), buffer.size());
    if (n < 0)
      throw FmuError("cannot read the FMU's entry " + in_quotes(name) + ": " +
                     zip_file_strerror(entry.get()));
    if (n == 0) break;
    if (static_cast<std::uint64_t>(n) > left)
      throw FmuError("the FMU unpacks to more than " + std::to_string(MAX_UNPACKED_BYTES >> 20) +
                     " MiB (the limit); refused");
    left -= static_cast<std::uint64_t>(n);
    write_all(fd, buffer.data(), static_cast<std::size_t>(n), path);
  }
}

void unpack(const std::string& fmu, const fs::path& root, std::uint64_t max_bytes) {
  int error = 0;
  const std::unique_ptr<zip_t, ZipCloser> archive(zip_open(fmu.c_str(), ZIP_RDONLY, &error));
  if (!archive) {
    zip_error_t detail;
    zip_error_init_with_code(&detail, error);
    const std::string text = zip_error_strerror(&detail);
    zip_error_fini(&detail);
    throw FmuError("cannot open the FMU " + fmu + " as a zip archive: " + text);
  }
  std::uint64_t left = max_bytes;
  const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    const auto index = static_cast<zip_uint64_t>(i);
    const char* raw = zip_get_name(archive.get(), index, ZIP_FL_ENC_GUESS);
    if (raw == nullptr)
      throw FmuError("cannot read the FMU's entry names: " + std::string(zip_strerror(archive.get())));
    const std::string name = raw;
    const std::vector<std::string> parts = parts_of(name);
    if (is_symlink_entry(archive.get(), index))
      throw FmuError("the FMU's entry " + in_quotes(name) + " is a symbolic link; refused");
    if (parts.empty()) continue;
    const bool folder = name.back() == '/' || name.back() == '\\';
    if (folder) {
      make_parents(root, parts, parts.size());
      continue;
    }
    const fs::path path = make_parents(root, parts, parts.size() - 1) / parts.back();
    extract(archive.get(), index, name, path, left);
  }
}

constexpr std::string_view FOLDER_PREFIX = "nalto-fmu-";
// A folder younger than this may be one that its host has made and not yet locked.
constexpr std::chrono::seconds ABANDONED_AFTER{60};

// `folder` opened and locked for this host; -1 when it is locked already (or cannot be opened).
int lock_folder(const fs::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

fs::path temp_root() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? fs::path(tmp) : fs::path("/tmp");
}

}  // namespace

UnpackedFmu::UnpackedFmu(const std::string& fmu, std::uint64_t max_bytes) {
  remove_abandoned_folders(temp_root(), ABANDONED_AFTER);
  std::string pattern = (temp_root() / (std::string(FOLDER_PREFIX) + "XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr)
    throw FmuError("cannot make a temporary folder in " + temp_root().string() + ": " + std::strerror(errno));
  folder_ = pattern;
  lock_ = lock_folder(folder_);
  try {
    unpack(fmu, folder_, max_bytes);
  } catch (...) {
    remove_folder(folder_);
    if (lock_ >= 0) ::close(lock_);
    throw;
  }
}

UnpackedFmu::~UnpackedFmu() {
  remove_folder(folder_);
  if (lock_ >= 0) ::close(lock_);
}

void remove_abandoned_folders(const fs::path& root, std::chrono::seconds age) {
  std::error_code error;
  for (fs::directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
    const fs::path folder = it->path();
    if (!folder.filename().string().starts_with(FOLDER_PREFIX)) continue;
    struct stat status {};
    if (::lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::geteuid())
      continue;
    if (std::chrono::system_clock::now() - std::chrono::system_clock::from_time_t(status.st_mtime) < age)
      continue;
    const int lock = lock_folder(folder);
    if (lock < 0) continue;  // a host holds it
    remove_folder(folder.string());
    ::close(lock);
  }
}

void remove_folder(const std::string& folder) noexcept {
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

}  // namespace nalto::fmu
