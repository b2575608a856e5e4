// The readers of a dataset's files on any bytes: rows.csv for a fixed description gives columns of
// one value per row and episodes that tile the rows, or a DatasetError; dataset.json gives columns or
// a DatasetError.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "compute_node.hpp"

namespace {

using nalto::node_app::Dataset;
using nalto::node_app::DatasetError;

Dataset described() {
  Dataset dataset;
  nalto::node_app::read_description(dataset, R"({"id": "fuzz-1", "name": "plant", "columns": [
      {"key": "a", "role": "sensor"}, {"key": "b", "raw_name": "Level B", "role": "sensor"},
      {"key": "u", "role": "action"}]})",
                                    "dataset.json");
  return dataset;
}

void check(const Dataset& dataset) {
  std::size_t rows = 0;
  for (const nalto::node_app::EpisodeRows& episode : dataset.episodes) {
    if (episode.first != rows || episode.count == 0) __builtin_trap();
    rows += episode.count;
  }
  if (rows != dataset.n_rows) __builtin_trap();
  for (const nalto::node_app::Column& column : dataset.columns)
    if (column.values.size() != dataset.n_rows) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Dataset description = described();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Dataset dataset = description;
  try {
    nalto::node_app::read_rows(dataset, text, "rows.csv");
    check(dataset);
  } catch (const DatasetError&) {
  }
  Dataset other;
  try {
    nalto::node_app::read_description(other, text, "dataset.json");
    for (const nalto::node_app::Column& column : other.columns)
      if (other.column(column.key) != &column) __builtin_trap();
  } catch (const DatasetError&) {
  }
  return 0;
}
