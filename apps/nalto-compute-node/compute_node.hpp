#pragma once

// The reference compute node: serves the datasets of one folder over HTTP and scores a sim's
// predictions against their sensor truth, which never leaves it.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace httplib {
class Server;
}

namespace nalto::node_app {

// A dataset folder that cannot be served; the message names the file (and line) at fault.
class DatasetError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class Role { sensor, action };

struct Column {
  std::string key, raw_name;
  Role role = Role::sensor;
  std::vector<double> values;  // one per row of the whole dataset; NaN where the cell is empty
};

struct EpisodeRows {
  std::size_t first = 0, count = 0;
};

// One dataset folder, read once and never changed afterwards, so threads share it without locks.
struct Dataset {
  std::string id, name;
  std::vector<Column> columns;        // in the order of dataset.json
  std::vector<EpisodeRows> episodes;  // episode i of the data file is episodes[i]
  std::size_t n_rows = 0;
  std::string content_md5, content_sha256;  // of rows.csv, lowercase hexadecimal

  const Column* column(std::string_view key) const;

  std::unordered_map<std::string, std::size_t> column_index;
};

// dataset.json and rows.csv of `folder`; DatasetError when they do not make a dataset.
Dataset load_dataset(const std::filesystem::path& folder);

// When a dataset folder's two files were last written, and their sizes (a file's time may not move
// while it is being written); a folder whose stamp changed is read again.
struct FolderStamp {
  std::filesystem::file_time_type description, rows;
  std::uintmax_t description_size = 0, rows_size = 0;
  bool operator==(const FolderStamp&) const = default;
};

// One dataset folder as a scan found it: the dataset, or why it could not be served.
struct CatalogEntry {
  std::filesystem::path folder;
  FolderStamp stamp;
  std::shared_ptr<const Dataset> dataset;  // null when the folder was skipped
  std::string failure;
};

// The datasets of one folder at one moment. Never changed once made: a re-scan makes a new one, so
// a request keeps the catalog it began with for as long as it runs.
class Catalog {
 public:
  using Log = std::function<void(const std::string&)>;

  // Every sub-folder of `root` that holds a dataset.json; ids and names must be unique, and a folder
  // that cannot be served is a DatasetError.
  static Catalog load(const std::filesystem::path& root);

  // `root` as it is now. Folders whose files did not change since this catalog keep what this catalog
  // made of them; a new or changed folder is read, and one that cannot be served is skipped with its
  // reason, told to `log` once. On an id or name both in a kept and a new folder, the kept one stays.
  Catalog rescanned(const Log& log) const;

  const Dataset* by_id(std::string_view id) const;
  const Dataset* by_ref(std::string_view ref) const;  // by id, else by name
  std::size_t size() const;
  const std::filesystem::path& root() const { return root_; }
  const std::vector<CatalogEntry>& entries() const { return entries_; }  // in folder order

 private:
  std::filesystem::path root_;
  std::vector<CatalogEntry> entries_;
};
// One episode of one sensor, both from row 0: what was recorded and what the sim predicted (NaN where
// either is missing). Only rows that the predictions reach are compared.
struct SeriesPair {
  std::span<const double> truth, predicted;
};

// What a range-less truth is measured against: its range, else its level, else one unit.
enum class Scale { range, level, unit };

struct SensorFit {
  std::size_t lag_steps = 0, n_rows = 0;
  double nrmse = 0, score_percent = 0;
  Scale scale = Scale::range;
};

// The lag in [0, max_lag] (predictions trailing the truth by that many rows) with the least NRMSE,
// the smaller lag on a tie; a lag must keep at least half the rows that lag 0 compares. Absent when
// no row has both a truth and a prediction.
std::optional<SensorFit> fit_sensor(std::span<const SeriesPair> episodes, std::size_t max_lag);

// The widest lag searched, whatever a request asks: the search costs one pass over the rows per lag.
inline constexpr std::size_t MAX_SEARCHED_LAG = 1000;

struct Reply {
  int status = 200;
  std::string body;  // JSON; a refusal is {"detail": "..."}
};

// The node's requests on a catalog that re-scans its folder when a dataset is asked for that it
// does not hold, and on every listing. Safe to call from many threads at once.
class Service {
 public:
  explicit Service(Catalog catalog, Catalog::Log log = {});

  // The catalog as it stands; it stays valid for its holder whatever re-scans come after.
  std::shared_ptr<const Catalog> catalog() const;
  Reply datasets();
  Reply dataset(std::string_view ref);
  // Counts and action ranges only: no sensor value is part of the answer.
  Reply dataset_stats(std::string_view ref);
  Reply analysis_actions(std::string_view body);
  // A validation run is analyzed once: the same run and bundle again get the stored answer, the same
  // run with another bundle is refused (409).
  Reply analyze_rollouts(std::string_view body);

 private:
  struct Run {
    std::string bundle_hash, answer;
  };

  std::shared_ptr<const Catalog> rescan();
  // The catalog that holds `ref` (by id, else name, or by id only), re-scanned first when the current
  // one does not.
  std::shared_ptr<const Catalog> catalog_with(std::string_view ref, bool by_id_only);

  Catalog::Log log_;
  mutable std::mutex catalog_mutex_;  // guards the pointer only: a swap or a copy
  std::shared_ptr<const Catalog> catalog_;
  std::mutex scan_mutex_;  // one re-scan at a time; readers never wait for it
  std::mutex runs_mutex_;
  std::unordered_map<std::string, Run> runs_;  // by the validation run id's JSON text
};

struct ServerOptions {
  std::optional<std::string> token;                // demanded as "Authorization: Bearer <token>"
  std::function<void(const std::string&)> log;     // one line per request; none when empty
  std::size_t max_body_bytes = 512 * 1024 * 1024;  // larger bodies are refused (413)
};

// True for 127.0.0.0/8, ::1 and "localhost".
bool is_loopback(const std::string& host);

class Server {
 public:
  Server(Catalog catalog, ServerOptions options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds `host`:`port` (0: a free port) and answers the port bound; std::runtime_error on failure.
  int bind(const std::string& host, int port);
  // Serves until stop(); call after bind().
  void serve();
  void stop();
  bool running() const;

 private:
  Service service_;
  ServerOptions options_;
  std::unique_ptr<httplib::Server> http_;
};

}  // namespace nalto::node_app
