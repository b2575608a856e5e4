#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include "compute_node.hpp"
#include "nalto/support/files.hpp"
#include "nalto/support/hex.hpp"
#include "nalto/support/json.hpp"

namespace nalto::node_app {

namespace {

// A run file holds a hash of at most MAX_ID_BYTES and a number: anything far larger is no run file.
constexpr std::size_t MAX_RUN_FILE_BYTES = 4096;
constexpr std::size_t DIGEST_HEX = 64;

std::string digest_of(std::string_view run_key) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(run_key.data(), run_key.size(), digest, &size, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("the digest of a validation run id could not be computed");
  return hex_lower(digest, size);
}

std::string mode_text(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::runtime_error state_dir_error(const std::filesystem::path& dir, const std::string& what) {
  return std::runtime_error("--state-dir " + dir.string() + ": " + what);
}

// `dir`, made if missing, open and locked for this node alone; refused unless it is a folder of this
// user's that no other user can enter or read.
Fd open_state_dir(const std::filesystem::path& dir) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
    throw state_dir_error(dir, std::string("cannot be made (") + std::strerror(errno) + ")");
  Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid())
    throw state_dir_error(dir, errno == ENOTDIR
                                   ? std::string("not a folder")
                                   : std::string("cannot be opened (") + std::strerror(errno) + ")");
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0)
    throw state_dir_error(dir, std::string("cannot be read (") + std::strerror(errno) + ")");
  if (status.st_uid != ::geteuid())
    throw state_dir_error(dir,
                          "belongs to another user; the node keeps its state in a folder of its own user's");
  if ((status.st_mode & 077) != 0)
    throw state_dir_error(dir, "other users have access to it (mode " + mode_text(status.st_mode) +
                                   "); make it its owner's only: chmod 700 " + dir.string());
  // Two nodes writing one index would each forget the other's runs.
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
    throw state_dir_error(dir, errno == EWOULDBLOCK
                                   ? std::string("another compute node uses it")
                                   : std::string("cannot be locked (") + std::strerror(errno) + ")");
  if (::mkdirat(fd.get(), "runs", 0700) != 0 && errno != EEXIST)
    throw state_dir_error(dir, std::string("its folder runs cannot be made (") + std::strerror(errno) + ")");
  struct stat runs {};
  if (::fstatat(fd.get(), "runs", &runs, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(runs.st_mode))
    throw state_dir_error(dir, "its runs is not a folder");
  return fd;
}

bool is_run_file(const std::string& name) {
  return name.size() == DIGEST_HEX + 5 && name.ends_with(".json") &&
         std::all_of(name.begin(), name.begin() + DIGEST_HEX,
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

RunIndex::RunIndex(RunRetention retention, Log log) : retention_(retention), log_(std::move(log)) {
  retention_.runs = std::max<std::size_t>(retention_.runs, 1);
  retention_.answers = std::max<std::size_t>(retention_.answers, 1);
}

RunIndex RunIndex::in_folder(const std::filesystem::path& state_dir, RunRetention retention, Log log) {
  RunIndex index(retention, std::move(log));
  index.lock_ = open_state_dir(state_dir);
  index.folder_ = state_dir / "runs";

  std::map<std::uint64_t, std::pair<std::string, std::string>> found;  // by order: digest, bundle hash
  std::error_code error;
  for (std::filesystem::directory_iterator it(*index.folder_, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (!is_run_file(name)) continue;
    try {
      const Json run = parse_json(read_regular_file(it->path(), MAX_RUN_FILE_BYTES));
      const Json& hash = run.at("bundle_content_hash");
      const Json& order = run.at("order");
      if (!hash.is_string() || hash.get_ref<const std::string&>().empty() ||
          hash.get_ref<const std::string&>().size() > MAX_ID_BYTES || !order.is_number_unsigned())
        throw std::runtime_error("not a run of this node's");
      found.emplace(order.get<std::uint64_t>(),
                    std::pair(name.substr(0, DIGEST_HEX), hash.get<std::string>()));
    } catch (const std::exception& e) {
      index.tell("ignored the run file " + it->path().string() + ": " + e.what());
    }
  }
  if (error) throw state_dir_error(state_dir, "its runs cannot be listed (" + error.message() + ")");
  for (auto& [order, run] : found) {
    index.next_order_ = order + 1;
    index.order_.push_back(run.first);
    index.runs_.emplace(std::move(run.first), Run{std::move(run.second), order, std::nullopt});
  }
  index.forget_oldest();
  return index;
}

const RunIndex::Run* RunIndex::find(std::string_view run_key) const {
  const auto found = runs_.find(digest_of(run_key));
  return found == runs_.end() ? nullptr : &found->second;
}

const RunIndex::Run& RunIndex::record(std::string_view run_key, const std::string& bundle_hash,
                                      std::string answer) {
  const std::string digest = digest_of(run_key);
  auto [found, added] = runs_.try_emplace(digest, Run{bundle_hash, next_order_, std::nullopt});
  Run& run = found->second;
  if (added) {
    ++next_order_;
    order_.push_back(digest);
    write(digest, run);
  }
  if (run.bundle_hash == bundle_hash && !run.answer) {
    answer_bytes_ += answer.size();
    run.answer = std::move(answer);
    answered_.push_back(digest);
    forget_answers();
  }
  forget_oldest();
  return runs_.at(digest);
}

void RunIndex::forget_answers() {
  // The newest answer stays, whatever its size: it is the one a retry asks for.
  while (answered_.size() > retention_.answers ||
         (answered_.size() > 1 && answer_bytes_ > retention_.answer_bytes)) {
    Run& run = runs_.at(answered_.front());
    answer_bytes_ -= run.answer->size();
    run.answer.reset();
    answered_.pop_front();
  }
}

void RunIndex::forget_oldest() {
  while (order_.size() > retention_.runs) {
    const std::string digest = std::move(order_.front());
    order_.pop_front();
    if (const auto answered = std::find(answered_.begin(), answered_.end(), digest);
        answered != answered_.end()) {
      answer_bytes_ -= runs_.at(digest).answer->size();
      answered_.erase(answered);
    }
    runs_.erase(digest);
    if (folder_) {
      std::error_code error;
      std::filesystem::remove(*folder_ / (digest + ".json"), error);
      if (error)
        tell("the run file " + (*folder_ / (digest + ".json")).string() +
             " cannot be removed: " + error.message());
    }
  }
}

void RunIndex::write(const std::string& digest, const Run& run) {
  if (!folder_) return;
  const std::filesystem::path file = *folder_ / (digest + ".json");
  try {
    write_file_atomically(file,
                          dump_json(Json{{"bundle_content_hash", run.bundle_hash}, {"order", run.order}}));
  } catch (const std::exception& e) {
    // The run stays guarded while the node runs; only a restart would forget it.
    tell("the run file " + file.string() + " cannot be written: " + e.what() +
         "; a restart of the node will not know this run");
  }
}

void RunIndex::tell(const std::string& line) const {
  if (log_) log_(line);
}

}  // namespace nalto::node_app
