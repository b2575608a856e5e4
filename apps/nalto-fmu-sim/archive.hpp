#pragma once

#include <cstdint>
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
class UnpackedFmu {
 public:
  UnpackedFmu(const std::string& fmu, std::uint64_t max_bytes = MAX_UNPACKED_BYTES);
  ~UnpackedFmu();
  UnpackedFmu(const UnpackedFmu&) = delete;
  UnpackedFmu& operator=(const UnpackedFmu&) = delete;

  const std::string& folder() const { return folder_; }

 private:
  std::string folder_;
};

// Removes `folder` and everything in it, ignoring failures: used on every way out of the host.
void remove_folder(const std::string& folder) noexcept;

}  // namespace nalto::fmu
