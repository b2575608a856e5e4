#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <set>

#include "compute_node.hpp"
#include "nalto/support/errors.hpp"
#include "nalto/support/fd.hpp"
#include "nalto/support/hex.hpp"
#include "nalto/support/json.hpp"

namespace nalto::node_app {

namespace {

constexpr double MISSING = std::numeric_limits<double>::quiet_NaN();

std::string file_kind(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "not a file";
}

// A dataset's files are read only when they are regular files: a pipe would block the node (and its
// scan) until someone writes to it, and a folder or a device has no size to read.
Fd open_regular(const std::filesystem::path& path, struct stat& status) {
  const std::string where = path.string();
  Fd fd(retry_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); }));
  if (!fd.valid()) throw DatasetError(where + ": cannot be read (" + std::strerror(errno) + ")");
  if (::fstat(fd.get(), &status) != 0)
    throw DatasetError(where + ": cannot be read (" + std::strerror(errno) + ")");
  if (!S_ISREG(status.st_mode))
    throw DatasetError(where + ": not a regular file (" + file_kind(status.st_mode) + ")");
  return fd;
}

// Hands the file's bytes to `take` a block at a time.
template <class Take>
void read_blocks(const Fd& fd, const std::string& where, Take take) {
  char buffer[64 * 1024];
  while (true) {
    const ssize_t n = retry_eintr([&] { return ::read(fd.get(), buffer, sizeof buffer); });
    if (n < 0) throw DatasetError(where + ": cannot be read (" + std::strerror(errno) + ")");
    if (n == 0) return;
    take(std::string_view(buffer, static_cast<std::size_t>(n)));
  }
}

std::string read_file(const std::filesystem::path& path, std::size_t max_size) {
  const std::string where = path.string();
  struct stat status {};
  const Fd fd = open_regular(path, status);
  const auto too_large = [&] {
    return DatasetError(where + ": larger than " + std::to_string(max_size / 1024) +
                        " KiB, which is more than a dataset description needs");
  };
  if (static_cast<std::uintmax_t>(status.st_size) > max_size) throw too_large();
  std::string text;
  read_blocks(fd, where, [&](std::string_view block) {
    text += block;
    if (text.size() > max_size) throw too_large();
  });
  return text;
}

// An MD5 or SHA-256 digest taken a block at a time.
class Digest {
 public:
  explicit Digest(const EVP_MD* kind) : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(context_.get(), kind, nullptr) != 1) fail();
  }
  void add(std::string_view data) {
    if (EVP_DigestUpdate(context_.get(), data.data(), data.size()) != 1) fail();
  }
  std::string hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context_.get(), digest, &size) != 1) fail();
    return hex_lower(digest, size);
  }

 private:
  [[noreturn]] static void fail() { throw DatasetError("the digest of rows.csv could not be computed"); }

  struct Free {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
  };
  std::unique_ptr<EVP_MD_CTX, Free> context_;
};

std::string text_member(const Json& object, std::string_view key, const std::string& where) {
  const Json* value = object.contains(key) ? &object[std::string(key)] : nullptr;
  if (!value || !value->is_string() || value->get_ref<const std::string&>().empty())
    throw DatasetError(where + ": '" + std::string(key) + "' must be a non-empty text");
  return value->get<std::string>();
}

// One CSV line's fields: plain ones are views into the line, quoted ones are unquoted into `scratch`.
void split_fields(std::string_view line, std::vector<std::string_view>& fields,
                  std::deque<std::string>& scratch) {
  fields.clear();
  std::size_t at = 0;
  while (true) {
    if (at < line.size() && line[at] == '"') {
      std::string& field = scratch.emplace_back();
      std::size_t i = at + 1;
      for (; i < line.size(); ++i) {
        if (line[i] != '"') {
          field += line[i];
        } else if (i + 1 < line.size() && line[i + 1] == '"') {
          field += '"';
          ++i;
        } else {
          break;
        }
      }
      fields.push_back(field);
      at = line.find(',', i);
    } else {
      const std::size_t comma = line.find(',', at);
      fields.push_back(
          line.substr(at, comma == std::string_view::npos ? std::string_view::npos : comma - at));
      at = comma;
    }
    if (at == std::string_view::npos) return;
    ++at;
  }
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::optional<double> number(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<std::size_t> whole_number(std::string_view text) {
  std::size_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// A line longer than this is no row: a row of thousands of columns takes a fraction of it. Lines are
// read whole, and a file without line breaks must not be read into memory (or counted) whole.
constexpr std::size_t MAX_LINE_BYTES = 16 << 20;

DatasetError line_too_long(const std::string& where, std::size_t line) {
  return DatasetError(where + " line " + std::to_string(line) + ": longer than " +
                      std::to_string(MAX_LINE_BYTES >> 20) + " MiB; rows end with a line break");
}

// The rows of rows.csv into the dataset's columns, from blocks of the text cut anywhere.
class RowsReader {
 public:
  RowsReader(Dataset& dataset, std::string where) : dataset_(dataset), where_(std::move(where)) {}

  void feed(std::string_view block) {
    while (!block.empty()) {
      const std::size_t end = block.find('\n');
      if (partial_.size() + std::min(end, block.size()) > MAX_LINE_BYTES)
        throw line_too_long(where_, line_number_ + 1);
      if (end == std::string_view::npos) {
        partial_ += block;
        return;
      }
      if (partial_.empty()) {
        line(block.substr(0, end));
      } else {
        partial_ += block.substr(0, end);
        line(partial_);
        partial_.clear();
      }
      block.remove_prefix(end + 1);
    }
  }

  // The last line may lack its line break.
  void finish() {
    if (!partial_.empty()) line(partial_);
    partial_.clear();
    if (line_number_of_header_ == 0) fail(0, "has no header line");
  }

 private:
  void line(std::string_view line) {
    ++line_number_;
    if (line_number_ == 1 && line.starts_with("\xEF\xBB\xBF")) line.remove_prefix(3);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return;
    scratch_.clear();
    split_fields(line, fields_, scratch_);
    if (line_number_of_header_ == 0) {
      line_number_of_header_ = line_number_;
      header();
    } else {
      row(line_number_);
    }
  }

  [[noreturn]] void fail(std::size_t line, const std::string& what) const {
    throw DatasetError(where_ + (line ? " line " + std::to_string(line) : std::string()) + ": " + what);
  }

  void header() {
    if (fields_.size() < 2 || trimmed(fields_[0]) != "episode" || trimmed(fields_[1]) != "row")
      fail(line_number_of_header_, "the header must begin with \"episode,row\"");
    std::set<std::string_view> seen;
    for (std::size_t i = 2; i < fields_.size(); ++i) {
      const std::string_view key = trimmed(fields_[i]);
      const Column* column = dataset_.column(key);
      if (!column)
        fail(line_number_of_header_, "the column '" + std::string(key) + "' is not in dataset.json");
      if (!seen.insert(column->key).second)
        fail(line_number_of_header_, "the column '" + std::string(key) + "' stands twice");
      targets_.push_back(&dataset_.columns[dataset_.column_index.at(column->key)]);
    }
    for (const Column& column : dataset_.columns) {
      if (!seen.contains(column.key))
        fail(line_number_of_header_, "dataset.json's column '" + column.key + "' has no column here");
    }
  }

  void row(std::size_t line) {
    if (fields_.size() != targets_.size() + 2)
      fail(line, std::to_string(fields_.size()) + " values where the header has " +
                     std::to_string(targets_.size() + 2));
    const std::optional<std::size_t> episode = whole_number(trimmed(fields_[0]));
    const std::optional<std::size_t> row = whole_number(trimmed(fields_[1]));
    if (!episode || !row) fail(line, "'episode' and 'row' must be whole numbers");
    std::vector<EpisodeRows>& episodes = dataset_.episodes;
    const std::size_t current = episodes.size();
    if (*episode == current) {
      episodes.push_back({dataset_.n_rows, 0});
    } else if (current == 0 || *episode != current - 1) {
      fail(line, "episode " + std::to_string(*episode) + " where episode " + std::to_string(current) +
                     (current ? " or " + std::to_string(current - 1) : std::string()) +
                     " was due; episodes are numbered 0, 1, 2, ... with their rows together");
    }
    EpisodeRows& rows = episodes.back();
    if (*row != rows.count)
      fail(line, "row " + std::to_string(*row) + " of episode " + std::to_string(*episode) + " where row " +
                     std::to_string(rows.count) + " was due");
    for (std::size_t i = 0; i < targets_.size(); ++i) {
      const std::string_view cell = trimmed(fields_[i + 2]);
      if (cell.empty()) {
        targets_[i]->values.push_back(MISSING);
        continue;
      }
      const std::optional<double> value = number(cell);
      if (!value) fail(line, "the value of '" + targets_[i]->key + "' is not a finite number");
      targets_[i]->values.push_back(*value);
    }
    ++rows.count;
    ++dataset_.n_rows;
  }

  Dataset& dataset_;
  std::string where_;
  std::string partial_;  // a line cut by the end of a block
  std::size_t line_number_ = 0, line_number_of_header_ = 0;
  std::vector<Column*> targets_;
  std::vector<std::string_view> fields_;
  std::deque<std::string> scratch_;
};

// UUIDs are written in either case.
bool same_id(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

// An entry of the datasets folder that may be a dataset folder: one, or one that cannot be looked at
// (a symlink loop, a folder it may not enter), with the reason.
struct FoundFolder {
  std::filesystem::path path;
  std::string failure;
  bool operator<(const FoundFolder& other) const { return path < other.path; }
};

// What `path` is, its symlinks followed (not_found for a dangling one); none, with the reason in
// `failure`, when that cannot be told.
std::filesystem::file_type type_of(const std::filesystem::path& path, std::string& failure) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (error && status.type() != std::filesystem::file_type::not_found) {
    failure = path.string() + ": cannot be read (" + error.message() + ")";
    return std::filesystem::file_type::none;
  }
  return status.type();
}

std::vector<FoundFolder> dataset_folders(const std::filesystem::path& root) {
  using std::filesystem::file_type;
  std::error_code error;
  if (!std::filesystem::is_directory(root, error)) throw DatasetError(root.string() + ": not a folder");
  std::vector<FoundFolder> folders;
  for (std::filesystem::directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
    std::string failure;
    const bool folder = type_of(it->path(), failure) == file_type::directory;
    const bool described = folder && type_of(it->path() / "dataset.json", failure) != file_type::not_found;
    if (described || !failure.empty()) folders.push_back({it->path(), std::move(failure)});
  }
  if (error) throw DatasetError(root.string() + ": " + error.message());
  std::sort(folders.begin(), folders.end());
  return folders;
}

// A file that cannot be stat'ed has the oldest time and no size, so it counts as changed once it can be.
FolderStamp stamp_of(const std::filesystem::path& folder) {
  std::error_code error;
  FolderStamp stamp;
  stamp.description = std::filesystem::last_write_time(folder / "dataset.json", error);
  stamp.rows = std::filesystem::last_write_time(folder / "rows.csv", error);
  stamp.description_size = std::filesystem::file_size(folder / "dataset.json", error);
  stamp.rows_size = std::filesystem::file_size(folder / "rows.csv", error);
  return stamp;
}

// Why `dataset` cannot be served beside those of `others`; empty when it can.
std::string clash(const Dataset& dataset, const std::vector<CatalogEntry>& others) {
  for (const CatalogEntry& other : others) {
    if (!other.dataset) continue;
    if (same_id(other.dataset->id, dataset.id))
      return "the id '" + dataset.id + "' is already another dataset's";
    if (other.dataset->name == dataset.name)
      return "the name '" + dataset.name + "' is already another dataset's";
  }
  return {};
}

// A folder found by a re-scan: any failure to read it skips this folder only, never the node.
CatalogEntry read_entry(const std::filesystem::path& folder, const FolderStamp& stamp) {
  CatalogEntry entry{folder, stamp, nullptr, {}};
  try {
    entry.dataset = std::make_shared<const Dataset>(load_dataset(folder));
  } catch (const std::exception& e) {
    entry.failure = e.what();
  }
  return entry;
}

}  // namespace

const Column* Dataset::column(std::string_view key) const {
  const auto found = column_index.find(std::string(key));
  return found == column_index.end() ? nullptr : &columns[found->second];
}

void read_description(Dataset& dataset, std::string_view text, const std::string& where) {
  Json description;
  try {
    description = parse_json(text);
  } catch (const JSONDecodeError& e) {
    throw DatasetError(where + ": not valid JSON (" + e.what() + ")");
  }
  if (!description.is_object()) throw DatasetError(where + ": must hold a JSON object");
  dataset.id = text_member(description, "id", where);
  dataset.name = text_member(description, "name", where);
  const Json* columns = description.contains("columns") ? &description["columns"] : nullptr;
  if (!columns || !columns->is_array()) throw DatasetError(where + ": 'columns' must be a list");
  for (const Json& entry : *columns) {
    const std::string at = where + ": column " + std::to_string(dataset.columns.size() + 1);
    if (!entry.is_object()) throw DatasetError(at + " must be an object");
    Column column;
    column.key = text_member(entry, "key", at);
    column.raw_name = entry.contains("raw_name") ? text_member(entry, "raw_name", at) : column.key;
    const std::string role = text_member(entry, "role", at);
    if (role != "sensor" && role != "action")
      throw DatasetError(at + ": 'role' must be \"sensor\" or \"action\", not \"" + role + "\"");
    column.role = role == "sensor" ? Role::sensor : Role::action;
    if (column.key == "episode" || column.key == "row")
      throw DatasetError(at + ": the key '" + column.key + "' is taken by the data file's own column");
    if (!dataset.column_index.emplace(column.key, dataset.columns.size()).second)
      throw DatasetError(at + ": the key '" + column.key + "' is listed twice");
    dataset.columns.push_back(std::move(column));
  }
}

namespace {

std::size_t line_breaks(std::string_view text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The lines of a text given a block at a time, refused as soon as one is longer than a row may be.
class LineCounter {
 public:
  explicit LineCounter(std::string where) : where_(std::move(where)) {}
  void add(std::string_view block) {
    for (std::size_t at = 0; at < block.size();) {
      const std::size_t end = block.find('\n', at);
      const std::size_t length = (end == std::string_view::npos ? block.size() : end) - at;
      if (current_ + length > MAX_LINE_BYTES) throw line_too_long(where_, breaks_ + 1);
      if (end == std::string_view::npos) {
        current_ += length;
        return;
      }
      ++breaks_;
      current_ = 0;
      at = end + 1;
    }
  }
  std::size_t lines() const { return breaks_ + 1; }

 private:
  std::string where_;
  std::size_t breaks_ = 0, current_ = 0;  // the bytes of the line not ended yet
};

// The rows that `feed` hands a reader, into columns made room for `lines` rows at once: a count of
// the lines spares them their regrowth.
template <class Feed>
void read_rows_of(Dataset& dataset, const std::string& where, std::size_t lines, Feed feed) {
  for (Column& column : dataset.columns) column.values.reserve(lines);
  RowsReader reader(dataset, where);
  feed(reader);
  reader.finish();
  for (Column& column : dataset.columns) column.values.shrink_to_fit();
}

}  // namespace

void read_rows(Dataset& dataset, std::string_view text, const std::string& where) {
  read_rows_of(dataset, where, line_breaks(text) + 1, [text](RowsReader& reader) { reader.feed(text); });
}

Dataset load_dataset(const std::filesystem::path& folder) {
  Dataset dataset;
  const std::filesystem::path description = folder / "dataset.json";
  read_description(dataset, read_file(description, MAX_DESCRIPTION_BYTES), description.string());

  // Read a block at a time, twice: once to count the lines, then into the columns and the digests.
  // The text is never whole in memory.
  const std::filesystem::path rows = folder / "rows.csv";
  const std::string where = rows.string();
  struct stat status {};
  const Fd fd = open_regular(rows, status);
  LineCounter lines(where);
  read_blocks(fd, where, [&lines](std::string_view block) { lines.add(block); });
  if (::lseek(fd.get(), 0, SEEK_SET) != 0)
    throw DatasetError(where + ": cannot be read (" + std::strerror(errno) + ")");
  Digest md5(EVP_md5()), sha256(EVP_sha256());
  read_rows_of(dataset, where, lines.lines(), [&](RowsReader& reader) {
    read_blocks(fd, where, [&](std::string_view block) {
      reader.feed(block);
      md5.add(block);
      sha256.add(block);
    });
  });
  dataset.content_md5 = md5.hex();
  dataset.content_sha256 = sha256.hex();
  return dataset;
}

Catalog Catalog::load(const std::filesystem::path& root) {
  Catalog catalog;
  catalog.root_ = root;
  for (FoundFolder& found : dataset_folders(root)) {
    if (!found.failure.empty()) {
      catalog.entries_.push_back({std::move(found.path), {}, nullptr, std::move(found.failure)});
      continue;
    }
    const std::filesystem::path& folder = found.path;
    CatalogEntry entry{folder, stamp_of(folder), std::make_shared<const Dataset>(load_dataset(folder)), {}};
    if (const std::string reason = clash(*entry.dataset, catalog.entries_); !reason.empty())
      throw DatasetError(folder.string() + ": " + reason);
    catalog.entries_.push_back(std::move(entry));
  }
  return catalog;
}

Catalog Catalog::rescanned(const Log& log) const {
  const auto tell = [&log](const std::string& line) {
    if (log) log(line);
  };
  std::vector<FoundFolder> folders;
  try {
    folders = dataset_folders(root_);
  } catch (const DatasetError& e) {
    // The folder went away or cannot be listed now: what is served stays as it is.
    tell(std::string("the datasets folder cannot be scanned again: ") + e.what());
    return *this;
  }
  Catalog next;
  next.root_ = root_;
  std::vector<CatalogEntry> fresh;
  for (FoundFolder& found : folders) {
    const FolderStamp stamp = found.failure.empty() ? stamp_of(found.path) : FolderStamp{};
    const auto kept = std::find_if(entries_.begin(), entries_.end(), [&](const CatalogEntry& entry) {
      return entry.folder == found.path && entry.stamp == stamp &&
             (found.failure.empty() || entry.failure == found.failure);
    });
    if (kept != entries_.end())
      next.entries_.push_back(*kept);
    else if (!found.failure.empty())
      fresh.push_back({std::move(found.path), stamp, nullptr, std::move(found.failure)});
    else
      fresh.push_back(read_entry(found.path, stamp));
  }
  for (CatalogEntry& entry : fresh) {
    if (entry.dataset) {
      entry.failure = clash(*entry.dataset, next.entries_);
      if (!entry.failure.empty()) entry.dataset.reset();
    }
    tell(entry.dataset ? "serving the dataset '" + entry.dataset->name + "' of " + entry.folder.string()
                       : "skipped the dataset folder " + entry.folder.string() + ": " + entry.failure);
    next.entries_.push_back(std::move(entry));
  }
  std::sort(next.entries_.begin(), next.entries_.end(),
            [](const CatalogEntry& a, const CatalogEntry& b) { return a.folder < b.folder; });
  return next;
}

const Dataset* Catalog::by_id(std::string_view id) const {
  for (const CatalogEntry& entry : entries_) {
    if (entry.dataset && same_id(entry.dataset->id, id)) return entry.dataset.get();
  }
  return nullptr;
}

const Dataset* Catalog::by_ref(std::string_view ref) const {
  if (const Dataset* dataset = by_id(ref)) return dataset;
  for (const CatalogEntry& entry : entries_) {
    if (entry.dataset && entry.dataset->name == ref) return entry.dataset.get();
  }
  return nullptr;
}

std::size_t Catalog::size() const {
  return static_cast<std::size_t>(std::count_if(entries_.begin(), entries_.end(),
                                                [](const CatalogEntry& entry) { return entry.dataset; }));
}

}  // namespace nalto::node_app
