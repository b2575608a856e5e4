#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "nalto/main/sim_publish_report.hpp"
#include "nalto/support/fd.hpp"
#include "nalto/support/files.hpp"
#include "nalto/support/hex.hpp"

namespace nalto {

namespace {

constexpr std::size_t CHUNK = 1048576;

struct DigestDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

void check(int ok, const char* what) {
  if (ok != 1) throw std::runtime_error(std::string("SHA-256 failed: ") + what);
}

}  // namespace

std::string sha256_file(const std::string& path) {
  std::unique_ptr<EVP_MD_CTX, DigestDeleter> ctx(EVP_MD_CTX_new());
  if (!ctx) throw std::bad_alloc();
  check(EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr), "init");

  const Fd file = open_regular_file(path);
  ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  std::vector<unsigned char> buffer(CHUNK);
  for (;;) {
    const ssize_t n = retry_eintr([&] { return ::read(file.get(), buffer.data(), buffer.size()); });
    if (n < 0) {
      const int error = errno;
      throw FileReadError("read", path, error, std::strerror(error));
    }
    if (n == 0) break;
    check(EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<std::size_t>(n)), "update");
  }

  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  check(EVP_DigestFinal_ex(ctx.get(), digest, &length), "final");
  return hex_lower(digest, length);
}

}  // namespace nalto
