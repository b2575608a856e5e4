#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "compute_node.hpp"
#include "nalto/support/files.hpp"

extern char** environ;

namespace nalto::node_app {

std::string read_token_file(const std::filesystem::path& file) {
  const std::string where = "--token-file " + file.string();
  const auto refuse = [&where](const std::string& why) { return std::runtime_error(where + ": " + why); };
  Fd fd;
  try {
    fd = open_regular_file(file);
  } catch (const FileReadError& e) {
    throw refuse(e.reason());
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) throw refuse(std::strerror(errno));
  if ((status.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    throw refuse(std::string("other users may read or change it (mode ") + mode +
                 "); make it its owner's only: chmod 600 " + file.string());
  }
  std::string token;
  char buffer[MAX_TOKEN_BYTES + 1];
  while (token.size() <= MAX_TOKEN_BYTES) {
    const ssize_t n = retry_eintr([&] { return ::read(fd.get(), buffer, sizeof buffer); });
    if (n < 0) throw refuse(std::strerror(errno));
    if (n == 0) break;
    token.append(buffer, static_cast<std::size_t>(n));
  }
  if (token.size() > MAX_TOKEN_BYTES)
    throw refuse("larger than " + std::to_string(MAX_TOKEN_BYTES) + " bytes; it holds one token");
  // Written by `echo` or an editor, the file ends with a line break that is no part of the token.
  while (!token.empty() && (token.back() == '\n' || token.back() == '\r')) token.pop_back();
  if (token.empty()) throw refuse("holds no token");
  if (std::any_of(token.begin(), token.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; }))
    throw refuse("holds control characters or more than one line; a token is one line of text");
  return token;
}

std::optional<std::string> take_secret_from_environment(const std::string& name) {
  if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0)
    throw std::runtime_error(std::string("cannot keep other processes out of this one's memory: ") +
                             std::strerror(errno));
  const std::string prefix = name + "=";
  std::optional<std::string> value;
  for (char** entry = environ; *entry; ++entry) {
    if (std::strncmp(*entry, prefix.c_str(), prefix.size()) != 0) continue;
    char* bytes = *entry + prefix.size();
    if (!value) value = bytes;  // the first, as getenv reads it
    // unsetenv only takes the entry out of the list: its bytes stay where /proc/<pid>/environ shows them.
    ::explicit_bzero(bytes, std::strlen(bytes));
  }
  ::unsetenv(name.c_str());
  return value;
}

}  // namespace nalto::node_app
