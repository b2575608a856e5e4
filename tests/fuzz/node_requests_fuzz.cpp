// The node's analysis requests on any bytes, over a small dataset in a temporary folder: an
// answer or one of the node's refusals (404, 409, 422), each a JSON object, and the same answer again
// for a validation run analyzed before.

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "compute_node.hpp"
#include "nalto/support/json.hpp"

namespace {

namespace fs = std::filesystem;
using nalto::node_app::Catalog;
using nalto::node_app::Reply;

// Two episodes, one long enough to score and one too short, with cells missing.
class Datasets {
 public:
  Datasets() {
    char pattern[] = "/tmp/nalto-fuzz-node-XXXXXX";
    if (!::mkdtemp(pattern)) __builtin_trap();
    root_ = pattern;
    fs::create_directories(root_ / "plant");
    std::ofstream(root_ / "plant" / "dataset.json")
        << R"({"id": "fuzz-1", "name": "plant", "columns": [{"key": "a", "raw_name": "Temp A", "role": "sensor"},
              {"key": "b", "role": "sensor"}, {"key": "u", "raw_name": "Power", "role": "action"}]})";
    std::ofstream rows(root_ / "plant" / "rows.csv");
    rows << "episode,row,a,b,u\n";
    for (int i = 0; i < 12; ++i)
      rows << "0," << i << "," << 20 + i * 0.5 << ",5," << (i == 3 ? "" : "1") << "\n";
    for (int i = 0; i < 3; ++i) rows << "1," << i << ",," << i << ",0.25\n";
    rows.close();
    catalog_ = Catalog::load(root_);
  }
  ~Datasets() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  const Catalog& catalog() const { return catalog_; }

 private:
  fs::path root_;
  Catalog catalog_;
};

void check(const Reply& reply) {
  if (reply.status != 200 && reply.status != 404 && reply.status != 409 && reply.status != 422)
    __builtin_trap();
  const nalto::Json answer = nalto::parse_json(reply.body);
  if (!answer.is_object()) __builtin_trap();
  if (reply.status != 200 && !(answer.contains("detail") && answer["detail"].is_string())) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Datasets datasets;
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  // A fresh service each time: the runs it stored for one input must not grow across the run.
  nalto::node_app::Service service(datasets.catalog());
  check(service.analysis_actions(body));
  const Reply first = service.analyze_rollouts(body);
  check(first);
  const Reply again = service.analyze_rollouts(body);
  if (first.status == 200 && (again.status != 200 || again.body != first.body)) __builtin_trap();
  // Scoring records nothing: the same body scores alike every time.
  const Reply scored = service.score_rollouts(body);
  check(scored);
  if (scored.status == 200 && service.score_rollouts(body).body != scored.body) __builtin_trap();
  return 0;
}
