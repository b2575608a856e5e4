#pragma once

#include <cerrno>
#include <utility>

namespace nalto {

// Sole owner of a file descriptor: closes it when destroyed or replaced.
class Fd {
 public:
  Fd() noexcept = default;
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  int release() noexcept { return std::exchange(fd_, -1); }
  // Closes the descriptor held so far; an error of that close has no one to report it to.
  void reset(int fd = -1) noexcept;
  // For callers that must know whether the data reached the file: 0, or the errno of ::close.
  // The descriptor is released either way; Linux frees it even when close fails.
  int close() noexcept;

 private:
  int fd_ = -1;
};

// Calls `f` again while it fails with EINTR (returns -1 and sets errno to EINTR).
template <typename F>
auto retry_eintr(F&& f) -> decltype(f()) {
  for (;;) {
    const auto result = f();
    if (result != -1 || errno != EINTR) return result;
  }
}

}  // namespace nalto
