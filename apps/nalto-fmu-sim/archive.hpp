#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace nalto::fmu {

// An FMU that cannot be used as it stands; its text says why, for the user.
class FmuError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Far beyond any real FMU's binaries and resources, small enough that a zip bomb cannot fill the disk.
inline constexpr std::uint64_t MAX_UNPACKED_BYTES = std::uint64_t{1} << 30;

// A private folder (mode 0700) holding an unpacked FMU, removed with everything in it when destroyed.
// The folder stays locked while it is used: a host killed outright (its tool killed with SIGKILL, or by
// a broken pipe, takes the sim's PID namespace with it) cannot remove its folder, so the next host
// removes every unlocked one of its user's that is older than a minute.
class UnpackedFmu {
 public:
  UnpackedFmu(const std::string& fmu, std::uint64_t max_bytes = MAX_UNPACKED_BYTES);
  ~UnpackedFmu();
  UnpackedFmu(const UnpackedFmu&) = delete;
  UnpackedFmu& operator=(const UnpackedFmu&) = delete;

  const std::string& folder() const { return folder_; }

 private:
  std::string folder_;
  int lock_ = -1;  // the folder, open and flock()ed
};

// The folders named like ours in `root` that no host holds and that are older than `age`, removed.
void remove_abandoned_folders(const std::filesystem::path& root, std::chrono::seconds age);

// Removes `folder` and everything in it, ignoring failures: used on every way out of the host.
void remove_folder(const std::string& folder) noexcept;

}  // namespace nalto::fmu
