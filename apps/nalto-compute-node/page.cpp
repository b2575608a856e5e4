#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <map>

#include "compute_node.hpp"
#include "nalto/support/errors.hpp"
#include "nalto/support/files.hpp"
#include "nalto/support/hex.hpp"
#include "nalto/support/json.hpp"

// The page's parts, embedded at build time (embed_page.cmake).
#define NALTO_PAGE_FILE(name) extern "C" const char nalto_page_##name[], nalto_page_##name##_end[];
NALTO_PAGE_FILE(dygraphs_js)
NALTO_PAGE_FILE(dygraphs_css)
NALTO_PAGE_FILE(template)
NALTO_PAGE_FILE(script)
NALTO_PAGE_FILE(style)
#undef NALTO_PAGE_FILE

namespace nalto::node_app {

namespace {

std::string_view embedded(const char* begin, const char* end) {
  return {begin, static_cast<std::size_t>(end - begin)};
}

// A figure drawn, not computed with: six significant digits keep a page small and a curve exact to the
// pixel.
Json drawn_value(double value) {
  if (!std::isfinite(value)) return nullptr;
  if (value == 0) return 0;
  const int decimals = 5 - static_cast<int>(std::floor(std::log10(std::abs(value))));
  const double factor = std::pow(10.0, decimals);
  const double result = std::round(value * factor) / factor;
  return std::isfinite(result) ? result : value;
}

double at(std::span<const double> values, std::size_t row) {
  return row < values.size() ? values[row] : NAN;
}

// The hash that a Content-Security-Policy names a script by.
std::string csp_hash(std::string_view script) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(script.data(), script.size(), digest, &size, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("the digest of the page's script could not be computed");
  unsigned char text[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
  const int length = EVP_EncodeBlock(text, digest, static_cast<int>(size));
  return "'sha256-" + std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length)) +
         "'";
}

constexpr std::size_t ID_TIME = 16;  // "20261210T083000Z"
constexpr std::size_t ID_RANDOM = 16;

std::string new_page_id() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char time[ID_TIME + 1];
  std::strftime(time, sizeof time, "%Y%m%dT%H%M%SZ", &utc);
  unsigned char random[ID_RANDOM / 2];
  if (RAND_bytes(random, sizeof random) != 1) throw std::runtime_error("no random bytes for a page id");
  return std::string(time) + "-" + hex_lower(random, sizeof random);
}

std::runtime_error pages_error(const std::filesystem::path& folder, const std::string& what) {
  return std::runtime_error("--state-dir: its folder " + folder.string() + " " + what);
}

void remove_page(const std::filesystem::path& folder, const std::string& id) {
  std::error_code ignored;
  std::filesystem::remove(folder / (id + ".html"), ignored);
  std::filesystem::remove(folder / (id + ".json"), ignored);
}

}  // namespace

std::vector<std::size_t> reduced_rows(std::span<const std::span<const double>> series,
                                      std::size_t max_points) {
  const std::size_t n_rows = series.empty() ? 0 : series.front().size();
  std::vector<std::size_t> rows;
  if (n_rows <= max_points) {
    for (std::size_t i = 0; i < n_rows; ++i) rows.push_back(i);
    return rows;
  }
  const std::size_t buckets = std::max<std::size_t>(1, max_points / (2 * series.size()));
  for (std::size_t b = 0; b < buckets; ++b) {
    const std::size_t first = b * n_rows / buckets, end = (b + 1) * n_rows / buckets;
    const std::size_t before = rows.size();
    for (const std::span<const double> values : series) {
      std::optional<std::size_t> low, high;
      for (std::size_t i = first; i < end; ++i) {
        if (std::isnan(values[i])) continue;
        if (!low || values[i] < values[*low]) low = i;
        if (!high || values[i] > values[*high]) high = i;
      }
      if (low) rows.push_back(*low);
      if (high) rows.push_back(*high);
    }
    // A bucket with no value at all still shows as a gap.
    if (rows.size() == before) rows.push_back(first);
    std::sort(rows.begin() + static_cast<std::ptrdiff_t>(before), rows.end());
    rows.erase(std::unique(rows.begin() + static_cast<std::ptrdiff_t>(before), rows.end()), rows.end());
  }
  return rows;
}

Json drawn_series(const SeriesPair& pair) {
  const std::size_t n_rows = std::max(pair.truth.size(), pair.predicted.size());
  std::vector<double> recorded(n_rows), predicted(n_rows), residual(n_rows);
  for (std::size_t i = 0; i < n_rows; ++i) {
    recorded[i] = at(pair.truth, i);
    predicted[i] = at(pair.predicted, i);
    residual[i] = predicted[i] - recorded[i];
  }
  const std::span<const double> series[] = {recorded, predicted, residual};
  Json rows = Json::array(), recorded_values = Json::array(), predicted_values = Json::array();
  for (const std::size_t row : reduced_rows(series)) {
    rows.push_back(row);
    recorded_values.push_back(drawn_value(recorded[row]));
    predicted_values.push_back(drawn_value(predicted[row]));
  }
  return Json{{"rows", std::move(rows)},
              {"recorded", std::move(recorded_values)},
              {"predicted", std::move(predicted_values)}};
}

std::string script_safe_json(const Json& value) {
  const std::string text = dump_json(value);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '<')
      out += "\\u003c";
    else if (c == '>')
      out += "\\u003e";
    else if (c == '&')
      out += "\\u0026";
    else if (c == '\xE2' && i + 2 < text.size() && text[i + 1] == '\x80' &&
             (text[i + 2] == '\xA8' || text[i + 2] == '\xA9')) {
      out += text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::string evidence_page_html(const Json& data) {
  const std::string_view library = embedded(nalto_page_dygraphs_js, nalto_page_dygraphs_js_end);
  const std::string_view script = embedded(nalto_page_script, nalto_page_script_end);
  const std::map<std::string_view, std::string> parts{
      {"CSP", "default-src 'none'; script-src " + csp_hash(library) + " " + csp_hash(script) +
                  "; style-src 'unsafe-inline'; img-src data:"},
      {"LIBRARY_STYLE", std::string(embedded(nalto_page_dygraphs_css, nalto_page_dygraphs_css_end))},
      {"STYLE", std::string(embedded(nalto_page_style, nalto_page_style_end))},
      {"DATA", script_safe_json(data)},
      {"LIBRARY", std::string(library)},
      {"SCRIPT", std::string(script)},
  };
  // One pass over the template: what is put in is never read for more places.
  const std::string_view page = embedded(nalto_page_template, nalto_page_template_end);
  std::string out;
  std::size_t done = 0;
  for (std::size_t start; (start = page.find("{{", done)) != std::string_view::npos;) {
    const std::size_t end = page.find("}}", start);
    const auto part = parts.find(page.substr(start + 2, end - start - 2));
    if (end == std::string_view::npos || part == parts.end())
      throw std::logic_error("the page's template names no part at byte " + std::to_string(start));
    out.append(page.substr(done, start - done));
    out += part->second;
    done = end + 2;
  }
  out.append(page.substr(done));
  return out;
}

bool is_page_id(std::string_view id) {
  if (id.size() != ID_TIME + 1 + ID_RANDOM || id[8] != 'T' || id[15] != 'Z' || id[16] != '-') return false;
  const auto digits = [](std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  return digits(id.substr(0, 8)) && digits(id.substr(9, 6)) &&
         std::all_of(id.begin() + ID_TIME + 1, id.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

PageStore PageStore::in_folder(const std::filesystem::path& state_dir, std::size_t keep) {
  PageStore store;
  store.folder_ = std::filesystem::absolute(state_dir) / "pages";
  store.keep_ = std::max<std::size_t>(keep, 1);
  const std::filesystem::path& folder = store.folder_;
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    throw pages_error(folder, std::string("cannot be made (") + std::strerror(errno) + ")");
  struct stat status {};
  if (::lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
    throw pages_error(folder, "is not a folder");
  if (status.st_uid != ::geteuid() || (status.st_mode & 077) != 0)
    throw pages_error(folder, "must be its owner's only (chmod 700), and the node's user's");

  // Oldest first: by when each was written, since ids of one second do not sort by their order.
  std::vector<std::pair<std::filesystem::file_time_type, std::string>> found;
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    std::error_code unreadable;
    const auto written = it->last_write_time(unreadable);
    if (name.ends_with(".html") && is_page_id(name.substr(0, name.size() - 5)) && !unreadable)
      found.emplace_back(written, name.substr(0, name.size() - 5));
  }
  if (error) throw pages_error(folder, "cannot be listed (" + error.message() + ")");
  std::sort(found.begin(), found.end());
  for (auto& [written, id] : found) store.ids_.push_back(std::move(id));
  while (store.ids_.size() > store.keep_) {
    remove_page(folder, store.ids_.front());
    store.ids_.pop_front();
  }
  return store;
}

std::filesystem::path PageStore::path_of(std::string_view id) const {
  return folder_ / (std::string(id) + ".html");
}

std::optional<Json> PageStore::kept(std::string_view id) const {
  if (!is_page_id(id) || std::find(ids_.begin(), ids_.end(), id) == ids_.end()) return std::nullopt;
  try {
    Json data = parse_json(read_regular_file(folder_ / (std::string(id) + ".json"), 64 << 20));
    const auto dataset = data.find("dataset");
    if (dataset != data.end() && dataset->is_object() && dataset->value("uuid", Json()).is_string() &&
        dataset->value("name", Json()).is_string())
      return data;
  } catch (const std::exception&) {
    // A page whose data is gone or damaged cannot be drawn as "before": as if it were gone.
  }
  return std::nullopt;
}

std::string PageStore::write(const std::string& html, const Json& kept) {
  const std::string id = new_page_id();
  const std::filesystem::path data = folder_ / (id + ".json");
  write_file_atomically(data, dump_json(kept));
  try {
    write_file_atomically(path_of(id), html);
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove(data, ignored);
    throw;
  }
  ids_.push_back(id);
  while (ids_.size() > keep_) {
    remove_page(folder_, ids_.front());
    ids_.pop_front();
  }
  return id;
}

}  // namespace nalto::node_app
