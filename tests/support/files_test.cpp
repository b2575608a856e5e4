#include "nalto/support/files.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "support/non_regular_files.hpp"

namespace nalto {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

std::string read_text(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_text(const fs::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary) << text;
}

mode_t mode_of(const fs::path& file) {
  struct stat status {};
  EXPECT_EQ(::stat(file.c_str(), &status), 0) << file;
  return status.st_mode & 07777;
}

class FilesTest : public ::testing::Test {
 protected:
  testing::TempFolder dir;
};

TEST_F(FilesTest, ARegularFileIsReadWholeUpToItsCap) {
  write_text(dir / "ten", "0123456789");
  fs::create_symlink("ten", dir / "link");
  EXPECT_EQ(read_regular_file(dir / "ten", 10), "0123456789");
  EXPECT_EQ(read_regular_file(dir / "link", 10), "0123456789") << "a symlink is read through";
  write_text(dir / "empty", "");
  EXPECT_EQ(read_regular_file(dir / "empty", 0), "");

  const std::vector<std::pair<std::size_t, std::string>> caps = {
      {9, "Is larger than 9 bytes"}, {1, "Is larger than 1 byte"}, {0, "Is larger than 0 bytes"}};
  for (const auto& [cap, reason] : caps) {
    try {
      read_regular_file(dir / "ten", cap);
      ADD_FAILURE() << cap;
    } catch (const FileReadError& e) {
      EXPECT_EQ(e.reason(), reason);
      EXPECT_EQ(e.code().value(), EFBIG);
      EXPECT_EQ(std::string(e.what()), "Cannot read '" + (dir / "ten").string() + "': " + reason);
    }
  }
}

TEST_F(FilesTest, CapsInMebibytesAreNamedSo) {
  // Sparse: its size says 16 MiB and one byte without writing them.
  const fs::path big = dir / "big";
  write_text(big, "");
  fs::resize_file(big, 16 * 1024 * 1024 + 1);
  try {
    read_regular_file(big, 16 * 1024 * 1024);
    ADD_FAILURE();
  } catch (const FileReadError& e) {
    EXPECT_EQ(e.reason(), "Is larger than 16 MiB");
  }
}

TEST_F(FilesTest, FilesThatAreNotRegularAreRefusedWithoutBlocking) {
  for (const auto& [path, reason] : testing::non_regular_files(dir.path())) {
    const std::string expected = "FileReadError: Cannot read '" + path.string() + "': " + reason;
    EXPECT_EQ(testing::failure_of([&] { read_regular_file(path, 1024); }), expected);
    EXPECT_EQ(testing::failure_of([&] { open_regular_file(path); }), expected);
  }
  try {
    open_regular_file(dir / "folder");
    ADD_FAILURE();
  } catch (const FileReadError& e) {
    EXPECT_EQ(e.code().value(), EISDIR);
    EXPECT_EQ(e.file(), dir / "folder");
  }
}

TEST_F(FilesTest, AMissingFileFailsWithTheSystemsReason) {
  try {
    read_regular_file(dir / "missing", 10);
    ADD_FAILURE();
  } catch (const FileReadError& e) {
    EXPECT_EQ(e.code().value(), ENOENT);
    EXPECT_EQ(e.reason(), "No such file or directory");
    EXPECT_EQ(std::string(e.what()),
              "Cannot open '" + (dir / "missing").string() + "': No such file or directory");
  }
}

TEST_F(FilesTest, SymlinksAreResolvedToTheFileTheyEndAt) {
  fs::create_directories(dir / "real");
  write_text(dir / "real" / "file", "x");
  fs::create_symlink("real/file", dir / "relative");
  fs::create_symlink(dir / "relative", dir / "chain");
  fs::create_symlink("real/missing", dir / "dangling");
  fs::create_symlink("loop", dir / "loop");
  EXPECT_EQ(resolve_symlinks(dir / "real" / "file"), dir / "real" / "file");
  EXPECT_EQ(resolve_symlinks(dir / "relative"), dir / "real" / "file");
  EXPECT_EQ(resolve_symlinks(dir / "chain"), dir / "real" / "file");
  EXPECT_EQ(resolve_symlinks(dir / "dangling"), dir / "real" / "missing");
  EXPECT_EQ(resolve_symlinks(dir / "new"), dir / "new");
  try {
    resolve_symlinks(dir / "loop");
    ADD_FAILURE();
  } catch (const FileWriteError& e) {
    EXPECT_EQ(e.step(), "read the link of");
    EXPECT_EQ(e.code().value(), ELOOP);
  }
}

TEST_F(FilesTest, AnAtomicWriteKeepsSymlinksAndTheFilesMode) {
  fs::create_directories(dir / "real");
  const fs::path target = dir / "real" / "state.json";
  for (const mode_t mode : {0644, 0640, 0604, 0444}) {
    write_text(target, "old");
    ASSERT_EQ(::chmod(target.c_str(), mode), 0);
    fs::remove(dir / "link");
    fs::create_symlink("real/state.json", dir / "link");

    write_file_atomically(dir / "link", "new");
    EXPECT_TRUE(fs::is_symlink(dir / "link")) << std::oct << mode;
    EXPECT_EQ(read_text(target), "new");
    EXPECT_EQ(mode_of(target), mode) << std::oct << mode;
  }
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir / "real")) left.push_back(entry.path().filename());
  EXPECT_THAT(left, ::testing::ElementsAre("state.json")) << "no temporary file is left";

  write_file_atomically(dir / "fresh" / "file", "fresh");
  EXPECT_EQ(mode_of(dir / "fresh" / "file"), 0600) << "a new file is its owner's only";
}

bool same_kind(const fs::path& file, mode_t kind) {
  struct stat status {};
  return ::lstat(file.c_str(), &status) == 0 && (status.st_mode & S_IFMT) == kind;
}

TEST_F(FilesTest, AnOutputThatIsNoRegularFileOrADanglingSymlinkIsRefusedAndLeftAsItIs) {
  for (const auto& [output, reason] : testing::non_regular_outputs(dir.path())) {
    struct stat before {};
    ASSERT_EQ(::lstat(output.c_str(), &before), 0) << output;
    for (const auto& write : std::vector<std::function<void()>>{
             [&output = output] { writable_target(output); },
             [&output = output] { write_file_atomically(output, "clobbered"); }}) {
      try {
        write();
        ADD_FAILURE() << output << " was not refused";
      } catch (const FileWriteError& e) {
        EXPECT_EQ(e.step(), "write") << output;
        EXPECT_EQ(e.reason(), reason) << output;
      }
    }
    EXPECT_TRUE(same_kind(output, before.st_mode & S_IFMT)) << output << " was replaced";
  }
  EXPECT_FALSE(fs::exists(testing::dangling_target(dir.path()).parent_path()))
      << "the folder a dangling symlink points into is not made";

  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir.path())) left.push_back(entry.path().filename());
  EXPECT_THAT(left, ::testing::Not(::testing::Contains(::testing::StartsWith(".")))) << "no temporary file";
}

TEST_F(FilesTest, AnOutputThatIsARegularFileOrNoneYetIsWritten) {
  fs::create_directories(dir / "real");
  write_text(dir / "real" / "file", "old");
  fs::create_symlink("real/file", dir / "link");
  EXPECT_EQ(writable_target(dir / "link"), dir / "real" / "file");
  EXPECT_EQ(writable_target(dir / "real" / "file"), dir / "real" / "file");
  EXPECT_EQ(writable_target(dir / "new" / "file"), dir / "new" / "file") << "no file yet, nor its folder";
  write_file_atomically(dir / "link", "new");
  EXPECT_EQ(read_text(dir / "real" / "file"), "new");
}

}  // namespace
}  // namespace nalto
