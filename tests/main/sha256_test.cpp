#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "nalto/main/sim_publish_report.hpp"
#include "support/subprocess.hpp"

namespace nalto {
namespace {

namespace fs = std::filesystem;

class Sha256FileTest : public ::testing::Test {
 protected:
  Sha256FileTest() : dir_(fs::temp_directory_path() / ("nalto-sha-" + std::to_string(::getpid()))) {
    fs::create_directories(dir_);
  }
  ~Sha256FileTest() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& bytes) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }

  static std::string random_bytes(std::size_t n) {
    std::mt19937_64 rng(42);
    std::string bytes(n, '\0');
    for (auto& b : bytes) b = static_cast<char>(rng());
    return bytes;
  }

  static std::string reference(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
      char two[3];
      std::snprintf(two, sizeof two, "%02x", digest[i]);
      hex += two;
    }
    return hex;
  }

  static std::size_t open_descriptors() {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
  }

  fs::path dir_;
};

TEST_F(Sha256FileTest, KnownDigests) {
  EXPECT_EQ(sha256_file(write("empty", "")),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_file(write("abc", "abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256_file(write("crlf", "a\r\nb\n")), reference("a\r\nb\n")) << "bytes as stored";
}

TEST_F(Sha256FileTest, ChunkBoundariesMatchHashingAtOnce) {
  for (std::size_t size :
       {std::size_t{1048575}, std::size_t{1048576}, std::size_t{1048577}, std::size_t{3145745}}) {
    const std::string bytes = random_bytes(size);
    EXPECT_EQ(sha256_file(write("chunks", bytes)), reference(bytes)) << size;
  }
}

TEST_F(Sha256FileTest, EqualsSha256sum) {
  const std::string path = write("large", random_bytes(9 * 1048576 + 123));
  const testing::Ran sha256sum = testing::run({"sha256sum", path}, std::chrono::seconds(20));
  ASSERT_EQ(sha256sum.exit, testing::exited(0)) << sha256sum.err;
  EXPECT_EQ(sha256_file(path), sha256sum.out.substr(0, 64));
}

TEST_F(Sha256FileTest, UnreadableFilesFailClearlyWithoutLeakingDescriptors) {
  const std::size_t before = open_descriptors();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {(dir_ / "missing").string(), "No such file or directory"},
      {dir_.string(), "Is a directory"},  // opens, then the read fails
  };
  for (const auto& [path, reason] : cases) {
    try {
      sha256_file(path);
      FAIL() << path;
    } catch (const std::system_error& e) {
      EXPECT_THAT(e.what(), ::testing::HasSubstr("'" + path + "'"));
      EXPECT_THAT(e.what(), ::testing::HasSubstr(reason));
    }
  }
  if (::geteuid() != 0) {  // root reads whatever the mode says
    const std::string locked = write("locked", "x");
    ::chmod(locked.c_str(), 0);
    EXPECT_THROW(sha256_file(locked), std::system_error);
  }
  EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
}  // namespace nalto
