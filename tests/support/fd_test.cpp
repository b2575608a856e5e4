#include "nalto/support/fd.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace nalto {
namespace {

bool is_open(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

std::array<int, 2> make_pipe() {
  std::array<int, 2> fds{};
  EXPECT_EQ(::pipe2(fds.data(), O_CLOEXEC), 0);
  return fds;
}

TEST(FdTest, ClosesWhenDestroyed) {
  const auto [reader, writer] = make_pipe();
  { const Fd owner(reader); }
  EXPECT_FALSE(is_open(reader));
  ::close(writer);
}

TEST(FdTest, MoveHandsOverTheDescriptor) {
  const auto [reader, writer] = make_pipe();
  Fd first(reader);
  Fd second(std::move(first));
  EXPECT_FALSE(first.valid());
  EXPECT_EQ(second.get(), reader);
  {
    const Fd third(std::move(second));
    EXPECT_FALSE(second.valid());
  }
  EXPECT_FALSE(is_open(reader));
  ::close(writer);
}

TEST(FdTest, MoveAssignmentClosesTheOneItReplaces) {
  const auto [reader, writer] = make_pipe();
  Fd target(reader);
  target = Fd(writer);
  EXPECT_FALSE(is_open(reader));
  EXPECT_EQ(target.get(), writer);
}

TEST(FdTest, ReleaseKeepsTheDescriptorOpen) {
  const auto [reader, writer] = make_pipe();
  {
    Fd owner(reader);
    EXPECT_EQ(owner.release(), reader);
  }
  EXPECT_TRUE(is_open(reader));
  ::close(reader);
  ::close(writer);
}

TEST(FdTest, CloseReportsTheError) {
  const auto [reader, writer] = make_pipe();
  Fd owner(reader);
  EXPECT_EQ(owner.close(), 0);
  EXPECT_FALSE(owner.valid());
  EXPECT_FALSE(is_open(reader));
  EXPECT_EQ(owner.close(), EBADF);
  ::close(writer);
}

TEST(RetryEintrTest, RetriesOnlyWhileInterrupted) {
  int calls = 0;
  const auto interrupted_twice = [&] {
    ++calls;
    if (calls <= 2) {
      errno = EINTR;
      return -1;
    }
    return 7;
  };
  EXPECT_EQ(retry_eintr(interrupted_twice), 7);
  EXPECT_EQ(calls, 3);

  calls = 0;
  const auto failing = [&] {
    ++calls;
    errno = EAGAIN;
    return ssize_t{-1};
  };
  EXPECT_EQ(retry_eintr(failing), -1);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(errno, EAGAIN);
}

}  // namespace
}  // namespace nalto
