#pragma once

// The reference compute node: serves the datasets of one folder over HTTP and scores a sim's
// predictions against their sensor truth, which never leaves it.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "nalto/support/fd.hpp"
#include "nalto/support/json.hpp"

namespace httplib {
struct Request;
struct Response;
class ContentReader;
}  // namespace httplib

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

// The largest dataset.json read. It describes columns only, a few hundred bytes each; anything far
// larger is no description, and reading it would only cost memory.
inline constexpr std::size_t MAX_DESCRIPTION_BYTES = 1024 * 1024;

// dataset.json and rows.csv of `folder`, each only when it is a regular file; DatasetError when they
// do not make a dataset.
Dataset load_dataset(const std::filesystem::path& folder);
// The two readers of load_dataset, on texts: the columns that dataset.json describes, then the rows of
// rows.csv into those columns. `where` names the file in a DatasetError.
void read_description(Dataset& dataset, std::string_view text, const std::string& where);
void read_rows(Dataset& dataset, std::string_view text, const std::string& where);

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
  // that cannot be served is a DatasetError. An entry that cannot be looked at (a symlink loop, a
  // folder the node may not enter) may not be a dataset at all: it is skipped with its reason.
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
  double divisor = 1;  // the range, level or unit that the RMSE was divided by
};

// The fewest rows a sensor is scored over. An NRMSE over a handful of rows says little of a sim, and
// over one row it is the distance to a single recorded value: predicting one row at a time would read
// the truth back out of the scores. Ten rows make each score a summary of at least ten values.
inline constexpr std::size_t MIN_SCORED_ROWS = 10;

// The lag in [0, max_lag] (predictions trailing the truth by that many rows) with the least NRMSE,
// the smaller lag on a tie; a lag must compare at least `min_rows` rows, and at least half the rows
// that lag 0 compares. Absent when no lag does.
std::optional<SensorFit> fit_sensor(std::span<const SeriesPair> episodes, std::size_t max_lag,
                                    std::size_t min_rows = 1);
// The rows that have both a truth and a prediction at lag 0.
std::size_t rows_compared(std::span<const SeriesPair> episodes);

// The widest lag searched, whatever a request asks: the search costs one pass over the rows per lag.
inline constexpr std::size_t MAX_SEARCHED_LAG = 1000;

// The lag that a sensor's diagnostics search on either side of row 0 when a request names none.
inline constexpr std::size_t DEFAULT_SEARCH_LAG = 10;

// Why a sensor is off, at the lag in both directions whose error varies least around its mean. Figures
// over the rows compared at that lag; population moments.
struct SensorDiagnosis {
  // > 0: the predictions trail the truth (truth row i against predicted row i + k); < 0: they lead
  // (truth row i + |k| against predicted row i).
  std::ptrdiff_t lag_rows = 0;
  std::size_t n_rows = 0;
  double nrmse = 0;
  double error_variance = 0;                // of predicted - truth around its mean
  double bias = 0;                          // mean(predicted - truth)
  std::optional<double> gain, correlation;  // absent when a side they divide by does not vary
  double sd_truth = 0, sd_predicted = 0;
  // Theil's shares of the mean squared error: the offset's, and the spread's.
  double bias_share = 0, variance_share = 0;
};

// The lag in [-search, search] whose error (predicted - truth) varies least around its own mean: on a
// trending series, the least NRMSE would take a shift for a constant offset. Under fit_sensor's rules
// (`min_rows`, half the rows of lag 0, at most MAX_SEARCHED_LAG); on a tie (within a relative 1e-12) the
// least NRMSE, then the smaller |lag|, then the positive one. Absent when no lag qualifies.
std::optional<SensorDiagnosis> diagnose_sensor(std::span<const SeriesPair> episodes, std::size_t search,
                                               std::size_t min_rows);
// The shift most of the sensors' best lags share: a lag other than 0 that more than half of them
// (every one, of one or two) have, and none has with the other sign; with how many have it. A replay
// off by rows shifts every sensor alike, but a sensor whose recording has its own delay keeps it.
struct SharedShift {
  std::ptrdiff_t rows = 0;
  std::size_t sensors = 0;
  bool operator==(const SharedShift&) const = default;
};
std::optional<SharedShift> shared_shift(std::span<const std::ptrdiff_t> lags);

// One episode's score at the sensor's scoring lag, against the divisor of its overall fit; absent when
// it compares fewer than `min_rows` rows.
std::optional<double> episode_score(const SeriesPair& episode, const SensorFit& fit, std::size_t min_rows);

// Doubles appended one at a time into one mapping that grows in place: a body's predictions cost their
// own size, with no copy on growth and no spare capacity resident.
class ValueArena {
 public:
  ValueArena() = default;
  ValueArena(ValueArena&& other) noexcept;
  ValueArena& operator=(ValueArena&& other) noexcept;
  ~ValueArena();

  void push(double value) {
    if (size_ == capacity_) grow();
    data_[size_++] = value;
  }
  std::size_t size() const { return size_; }
  // Valid while the arena lives and takes no more values.
  std::span<const double> span(std::size_t first, std::size_t count) const { return {data_ + first, count}; }

 private:
  void grow();

  double* data_ = nullptr;
  std::size_t size_ = 0, capacity_ = 0;
};

// One list of predictions of a body: its values (NaN for null) in the arena, from `first`.
struct PredictionList {
  std::size_t first = 0;
  std::size_t count = 0;  // of its elements, whatever their kind
  std::size_t nulls = 0;
  // The kind of its first element that is neither a number nor null ("text", "list", ...); the values
  // after it are not kept.
  std::string odd_kind;
};

// A sim-analyze-rollouts body as one pass over its bytes reads it: the value that parse_json gives,
// but for each list of predictions (episodes[i].predictions.<name>), which stands in the value as a
// binary placeholder whose subtype is its index in `lists`. Members the node never reads are left out.
struct RolloutsBody {
  Json value;
  ValueArena values;
  std::vector<PredictionList> lists;
};

// Reads the body as its bytes come: the memory it takes is the predictions' as doubles, and the rest
// of the body's value. Refuses what parse_json refuses, as it does (JSONDecodeError, without the text).
RolloutsBody read_rollouts_body(std::streambuf& bytes);

struct Reply {
  int status = 200;
  std::string body;  // JSON; a refusal is {"detail": "..."}
};

// The longest id or hash a request may give: the node keeps them, and its answer repeats them.
inline constexpr std::size_t MAX_ID_BYTES = 256;

// How much the node keeps of the validation runs it analyzed.
struct RunRetention {
  // Runs whose bundle hash is kept, so that another bundle for one of them is refused (409).
  std::size_t runs = 10'000;
  // Runs whose answer is kept for a repeated request, the latest ones, in at most `answer_bytes`.
  std::size_t answers = 100;
  std::size_t answer_bytes = 64 << 20;
};

// The validation runs analyzed, by a digest of their id, the oldest forgotten first: for each, the
// bundle hash it was analyzed for and, for the latest, the answer. With a state folder, each run's hash
// is also a file of DIR/runs, so that it outlives a restart; answers are kept in memory only. Not
// thread-safe: Service guards it.
class RunIndex {
 public:
  using Log = std::function<void(const std::string&)>;

  struct Run {
    std::string bundle_hash;
    std::uint64_t order = 0;  // of its first analysis, across restarts
    std::optional<std::string> answer;
  };

  explicit RunIndex(RunRetention retention = {}, Log log = {});
  // The runs of `state_dir` (made, readable by its owner only, when missing), which this node alone
  // uses while it runs. std::runtime_error when the folder is not its user's alone, or another node
  // uses it; a run file that cannot be read is left out and told to `log`.
  static RunIndex in_folder(const std::filesystem::path& state_dir, RunRetention retention, Log log = {});

  // `run_key` is the validation run id's JSON text.
  const Run* find(std::string_view run_key) const;
  // The run as it now stands: recorded with `bundle_hash` and `answer`, unless it was recorded first
  // (for another bundle, or with an answer of its own).
  const Run& record(std::string_view run_key, const std::string& bundle_hash, std::string answer);

  std::size_t runs() const { return runs_.size(); }
  std::size_t answers() const { return answered_.size(); }

 private:
  void forget_answers();
  void forget_oldest();
  void write(const std::string& digest, const Run& run);
  void tell(const std::string& line) const;

  RunRetention retention_;
  Log log_;
  Fd lock_;  // the state folder, locked for this node
  std::optional<std::filesystem::path> folder_;
  std::unordered_map<std::string, Run> runs_;
  std::deque<std::string> order_, answered_;  // digests, oldest first
  std::size_t answer_bytes_ = 0;
  std::uint64_t next_order_ = 0;
};

// The most rows a page draws of one sensor in one episode: a page of 20 episodes of 30 sensors stays a
// few MB and draws in a moment, whatever the episodes' length.
inline constexpr std::size_t PAGE_POINTS = 400;

// The rows a page draws of an episode's `series` (of one length, NaN where missing), in order: all of
// them when they are at most `max_points`; else, of each of max_points / (2 x series) buckets of rows,
// the rows where each series has its least and its greatest value, so that a peak of one row survives.
std::vector<std::size_t> reduced_rows(std::span<const std::span<const double>> series,
                                      std::size_t max_points = PAGE_POINTS);

// One sensor of one episode as a page draws it: {"rows", "recorded", "predicted"} at the reduced rows
// of the two series and of their difference (values to 6 significant digits, null where missing).
Json drawn_series(const SeriesPair& pair);

// `value` as JSON text that a <script type="application/json"> element holds as it is: <, >, &, U+2028
// and U+2029 escaped, so that no text in it can end the element or the script.
std::string script_safe_json(const Json& value);

// The self-contained HTML page that draws `data` (what page/page.js reads), with the chart library and
// the page's script inlined and a Content-Security-Policy that lets only those two scripts run.
std::string evidence_page_html(const Json& data);

// An id of a page this node writes: UTC time and 16 random hexadecimal digits, "20261210T083000Z-...".
bool is_page_id(std::string_view id);

// The evidence pages of a state folder: DIR/pages/ID.html, and beside it ID.json, what a later page
// needs to draw this one's predictions as "before". Not thread-safe: Service guards it.
class PageStore {
 public:
  // DIR/pages (made, its owner's only, when missing) keeping the latest `keep` pages; std::runtime_error
  // when it is no folder of this user's alone.
  static PageStore in_folder(const std::filesystem::path& state_dir, std::size_t keep);

  // The page's kept data (ID.json), when `id` is a page this store keeps and its data names its
  // dataset ("dataset": {"uuid", "name"}).
  std::optional<Json> kept(std::string_view id) const;
  // Writes the page and its data atomically (files 0600), the oldest pages beyond `keep` removed;
  // answers the new id. FileWriteError when either cannot be written (neither is kept then).
  std::string write(const std::string& html, const Json& kept);
  std::filesystem::path path_of(std::string_view id) const;
  std::size_t size() const { return ids_.size(); }

 private:
  std::filesystem::path folder_;  // absolute: answers name a page by it
  std::size_t keep_ = 100;
  std::deque<std::string> ids_;  // oldest first
};

// Whether and where the node writes evidence pages; without a store, why not.
struct EvidencePages {
  std::optional<PageStore> store;
  std::string refusal = "this compute node has no --state-dir to keep evidence pages in";
};

// The node's requests on a catalog that re-scans its folder when a dataset is asked for that it
// does not hold, and on every listing. Safe to call from many threads at once.
class Service {
 public:
  explicit Service(Catalog catalog, Catalog::Log log = {}, RunIndex runs = RunIndex(),
                   EvidencePages pages = {});

  // The catalog as it stands; it stays valid for its holder whatever re-scans come after.
  std::shared_ptr<const Catalog> catalog() const;
  Reply datasets();
  Reply dataset(std::string_view ref);
  // Counts and action ranges only: no sensor value is part of the answer.
  Reply dataset_stats(std::string_view ref);
  // The two analyses run one at a time, whatever the threads: each costs a pass over the rows of its
  // episodes, and concurrent ones must not multiply the memory of their answers.
  Reply analysis_actions(std::string_view body);
  // A validation run is analyzed once: the same run and bundle again get the stored answer (analyzed
  // again once that is forgotten), the same run with another bundle is refused (409) while the run is
  // kept. The body is read from `bytes` as they come, before the analysis waits for its turn.
  Reply analyze_rollouts(std::streambuf& bytes);
  Reply analyze_rollouts(std::string_view body);
  // The same analysis for a body without a validation run's identifiers: nothing of it is recorded, so
  // a sim can be scored as often as its developer likes. `search_lag_rows` widens its diagnostics;
  // `evidence_page` asks for a page of the predictions against the recording.
  Reply score_rollouts(std::streambuf& bytes);
  Reply score_rollouts(std::string_view body);
  // What is kept of the runs analyzed so far.
  std::size_t runs_kept() const;
  std::size_t answers_kept() const;

 private:
  std::shared_ptr<const Catalog> rescan();
  // The catalog that holds `ref` (by id, else name, or by id only), re-scanned first when the current
  // one does not.
  std::shared_ptr<const Catalog> catalog_with(std::string_view ref, bool by_id_only);

  Catalog::Log log_;
  mutable std::mutex catalog_mutex_;  // guards the pointer only: a swap or a copy
  std::shared_ptr<const Catalog> catalog_;
  std::mutex scan_mutex_;  // one re-scan at a time; readers never wait for it
  std::mutex analysis_mutex_;
  mutable std::mutex runs_mutex_;
  RunIndex runs_;
  EvidencePages pages_;  // guarded by analysis_mutex_
};

// The most a token file may hold: a token is a line of a few dozen characters.
inline constexpr std::size_t MAX_TOKEN_BYTES = 4096;

// The token in `file`, without the line break it may end with. std::runtime_error, naming the file,
// when it is no regular file, other users may read or change it, or it holds no single line of text.
std::string read_token_file(const std::filesystem::path& file);

// The environment variable `name`'s value, then gone from the environment and from the bytes of the
// process's first environment block, which /proc/<pid>/environ shows. First the process is made
// non-dumpable: other processes of its user can no longer read its memory or environment, nor does it
// leave a core dump. std::runtime_error when that fails.
std::optional<std::string> take_secret_from_environment(const std::string& name);

// The limits of the node's HTTP side. The tool sends each request without a pause, and on loopback
// (or a local network with --allow-remote) its bytes take milliseconds: the limits are many times what
// it needs, and only stop clients that hold the node without using it.
struct ServerOptions {
  std::optional<std::string> token;             // demanded as "Authorization: Bearer <token>"
  std::function<void(const std::string&)> log;  // one line per request; none when empty
  // The most a request body may take whatever the datasets; below it, a body may take what the
  // predictions of the largest dataset served need (body_limit). Longer bodies are refused (413).
  std::size_t max_body_bytes = 512 * 1024 * 1024;
  // From a request's first byte to the end of its headers.
  std::chrono::milliseconds header_time{10'000};
  // After its headers, a body (and later the answer) must move at min_bytes_per_second or faster once
  // this grace has passed: 256 KiB/s is a slow network's pace, loopback moves gigabytes a second.
  std::chrono::milliseconds transfer_grace{10'000};
  std::size_t min_bytes_per_second = 256 * 1024;
  // Connections served at once, each by a worker of its own; more are refused (503) at once. The tool
  // holds one at a time; sixty-four leave room for many tools and `nalto data` commands at once.
  std::size_t max_connections = 64;
};

// Request bodies held at once, each up to body_limit: beyond, a request is refused (503) while the
// others are read and analyzed, so that their memory is not multiplied by the clients.
inline constexpr std::size_t BODIES_AT_ONCE = 4;

// What a request body may take: what the predictions of the largest dataset of `catalog` need as
// JSON, generously, and at most `ceiling`.
std::size_t body_limit(const Catalog& catalog, std::size_t ceiling);

// `text` with what a terminal would act on escaped: C0 controls and DEL, C1 controls, the bidi
// controls and line separators (\uXXXX), and each byte of invalid UTF-8 (\xNN).
std::string printable(std::string_view text);

// True for 127.0.0.0/8, ::1 and "localhost".
bool is_loopback(const std::string& host);

class Server {
 public:
  Server(Catalog catalog, ServerOptions options, RunIndex runs = RunIndex(), EvidencePages pages = {});
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds `host`:`port` (0: a free port) and answers the port bound; std::runtime_error on failure.
  int bind(const std::string& host, int port);
  // Serves until stop(); call after bind().
  void serve();
  // Ends the waits for requests at once; requests being answered are answered first.
  void stop();
  bool running() const;

 private:
  class Http;
  // The bytes of the bodies being held, against BODIES_AT_ONCE of the body limit.
  struct BodyBudget {
    std::atomic<std::size_t> taken = 0;
    // Grows one request's share `held` to `total`, if the budget has room.
    bool hold(std::size_t& held, std::size_t total, std::size_t limit);
    void release(std::size_t held);
  };

  std::size_t body_limit() const;
  std::string status_detail(const httplib::Request& request, int status) const;
  bool refused_early(const httplib::Request& request, httplib::Response& response) const;
  // Hands a body's bytes to `take` as they arrive, within the body limit and the budget of bodies
  // read at once; false, with the refusal in `response`, when the body did not come whole.
  bool receive(const httplib::Request& request, httplib::Response& response,
               const httplib::ContentReader& reader,
               const std::function<void(const char*, std::size_t)>& take);
  // The body whole, then `handle`'s answer.
  void read_body(const httplib::Request& request, httplib::Response& response,
                 const httplib::ContentReader& reader, const std::function<Reply(std::string_view)>& handle);
  // `handle` reads the body on a thread of its own while it arrives; its answer once the body came whole.
  void stream_body(const httplib::Request& request, httplib::Response& response,
                   const httplib::ContentReader& reader, const std::function<Reply(std::streambuf&)>& handle);
  void tell_connection(bool refused);

  Service service_;
  ServerOptions options_;
  BodyBudget budget_;
  std::mutex refusals_mutex_;
  std::size_t refusals_ = 0;
  std::chrono::steady_clock::time_point last_refusal_told_;
  std::unique_ptr<Http> http_;  // last: its workers use the members above until it is gone
};

}  // namespace nalto::node_app
