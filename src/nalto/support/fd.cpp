#include "nalto/support/fd.hpp"

#include <unistd.h>

namespace nalto {

void Fd::reset(int fd) noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

int Fd::close() noexcept {
  return ::close(release()) == 0 ? 0 : errno;
}

}  // namespace nalto
