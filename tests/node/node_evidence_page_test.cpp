// The node's evidence page: the request member and its refusals, the answer's shapes, the files it
// writes (modes, retention, atomic writes that never fail the score), a "before" page, the escaping of
// hostile names and the reduction of long episodes.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <regex>

#include "node/node_app_fixture.hpp"

namespace nalto {
namespace {

using node_app::Catalog;
using node_app::EvidencePages;
using node_app::PageStore;
using node_app::Reply;
using node_app::Service;
using testing::fresh_dir;
using ::testing::HasSubstr;
using testing::make_folder;
using testing::NodeProgram;
namespace fs = std::filesystem;

constexpr int ROWS = 30;
const char* const HOSTILE = "</script><script>alert(1)</script>";

std::string description(const std::string& id, const std::string& sensor_name) {
  return dump_json(Json{{"id", id},
                        {"name", id + "-name"},
                        {"columns",
                         {{{"key", "s"}, {"raw_name", sensor_name}, {"role", "sensor"}},
                          {{"key", "t"}, {"raw_name", "unused sensor"}, {"role", "sensor"}},
                          {{"key", "u"}, {"raw_name", "Power"}, {"role", "action"}}}}});
}

// Two episodes; episode 1 records ten times episode 0's values.
std::string rows_csv() {
  std::string text = "episode,row,s,t,u\n";
  for (int e = 0; e < 2; ++e)
    for (int i = 0; i < ROWS; ++i)
      text += std::to_string(e) + "," + std::to_string(i) + "," + std::to_string((e * 9 + 1) * i) + ",0,1\n";
  return text;
}

Json score_body(const std::string& dataset, double offset, std::optional<Json> page) {
  Json episodes = Json::array();
  for (int e = 0; e < 2; ++e) {
    Json values = Json::array();
    for (int i = 0; i < ROWS; ++i) values.push_back((e * 9 + 1) * i + offset * (e + 1));
    episodes.push_back(Json{{"episode", e}, {"predictions", {{"s", values}}}});
  }
  Json body{{"dataset_uuid", dataset},   {"core_sensor_variables", {"s"}},
            {"sensor_variables", {"s"}}, {"action_variables", {"u"}},
            {"max_lag_steps", 3},        {"episodes", episodes}};
  if (page) body["evidence_page"] = *page;
  return body;
}

Json page_member(const std::string& sim = "sims/room", std::optional<std::string> before = {}) {
  Json page{{"sim", sim}};
  if (before) page["before_page"] = *before;
  return page;
}

// The data block of a page, as its script reads it.
Json page_data(const std::string& html) {
  const std::string open = "<script type=\"application/json\" id=\"page-data\">";
  const std::size_t start = html.find(open) + open.size();
  return Json::parse(html.substr(start, html.find("</script>", start) - start));
}

std::string read_text(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::size_t count_of(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

unsigned mode_of(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

class NodeEvidencePageTest : public ::testing::Test {
 protected:
  NodeEvidencePageTest() {
    make_folder(root_ / "a", description("ds-a", "Level"), rows_csv());
    make_folder(root_ / "b", description("ds-b", "Level"), rows_csv());
    fs::create_directories(state_);
    fs::permissions(state_, fs::perms::owner_all);
  }
  ~NodeEvidencePageTest() override {
    fs::remove_all(root_);
    fs::remove_all(state_);
  }

  Service service(std::size_t keep = 100) {
    return Service(Catalog::load(root_), {}, node_app::RunIndex(),
                   EvidencePages{.store = PageStore::in_folder(state_, keep)});
  }
  static Json written(Service& service, const Json& body) {
    const Reply reply = service.score_rollouts(body.dump());
    EXPECT_EQ(reply.status, 200) << reply.body;
    return Json::parse(reply.body)["evidence_page"];
  }

  const fs::path root_ = fresh_dir(), state_ = fresh_dir();
};

TEST_F(NodeEvidencePageTest, WithoutTheMemberTheAnswerIsUnchanged) {
  Service plain(Catalog::load(root_));
  Service pages = service();
  const Reply before = plain.score_rollouts(score_body("ds-a", 0.5, {}).dump());
  const Reply after = pages.score_rollouts(score_body("ds-a", 0.5, {}).dump());
  EXPECT_EQ(after.body, before.body);
  EXPECT_FALSE(Json::parse(after.body).contains("evidence_page"));
  EXPECT_TRUE(fs::is_empty(state_ / "pages"));
  // The run analysis takes no page, whatever its body says.
  Json run = score_body("ds-a", 0.5, page_member());
  run.update(Json{{"simulator_id", "s"},
                  {"simulator_implementation_id", "i"},
                  {"validation_run_id", "r"},
                  {"bundle_content_hash", "h"}});
  const Reply analyzed = pages.analyze_rollouts(run.dump());
  ASSERT_EQ(analyzed.status, 200);
  EXPECT_FALSE(Json::parse(analyzed.body).contains("evidence_page"));
  EXPECT_TRUE(fs::is_empty(state_ / "pages"));
}

TEST_F(NodeEvidencePageTest, MalformedPageRequestsAreRefusedBeforeAnyFileIsTouched) {
  Service pages = service();
  const std::string long_text(4097, 'x');
  const struct {
    Json member;
    std::string detail;
  } cases[] = {
      {"sims/room", "'evidence_page' must be an object, not text"},
      {Json::object(), "'evidence_page' has no 'sim'"},
      {Json{{"sim", 3}}, "'evidence_page': 'sim' must be a text, not "},
      {Json{{"sim", long_text}}, "'sim' is 4097 bytes long; this compute node takes up to 4096"},
      {Json{{"sim", "x"}, {"caption", Json::array()}}, "'caption' must be a text, not list"},
      {Json{{"sim", "x"}, {"caption", long_text}}, "'caption' is 4097 bytes long"},
      {Json{{"sim", "x"}, {"before_page", 7}}, "'before_page' must be a text, not "},
      {page_member("x", "../../etc/passwd"), "'before_page' is no evidence page id of this node"},
      {page_member("x", "../runs/x"), "'before_page' is no evidence page id of this node"},
      {page_member("x", "20261210T083000Z-0123456789abcdef/../../x"), "is no evidence page id"},
      {page_member("x", "20261210T083000Z-0123456789ABCDEF"), "is no evidence page id"},
      {page_member("x", "20261210T083000Z-0123456789abcde"), "is no evidence page id"},
      {page_member("x", ""), "is no evidence page id"},
      {page_member("x", "20261210T083000Z-0123456789abcdef"),
       "'before_page' names no evidence page of this node (it may have been removed): "
       "20261210T083000Z-0123456789abcdef"},
  };
  for (const auto& [member, detail] : cases) {
    Json body = score_body("ds-a", 0.5, {});
    body["evidence_page"] = member;
    const Reply reply = pages.score_rollouts(body.dump());
    EXPECT_EQ(reply.status, 422) << member.dump();
    EXPECT_THAT(reply.body, HasSubstr(detail)) << member.dump();
  }
  EXPECT_TRUE(fs::is_empty(state_ / "pages"));
}

TEST_F(NodeEvidencePageTest, APageIsWrittenOwnerOnlyAndNamedInTheAnswer) {
  Service pages = service();
  const Json page = written(pages, score_body("ds-a", 0.5, page_member()));
  ASSERT_TRUE(page["id"].is_string()) << page.dump();
  const std::string id = page["id"];
  EXPECT_TRUE(std::regex_match(id, std::regex("[0-9]{8}T[0-9]{6}Z-[0-9a-f]{16}")));
  const fs::path html = page["path"].get<std::string>();
  EXPECT_TRUE(html.is_absolute());
  EXPECT_EQ(html, fs::absolute(state_) / "pages" / (id + ".html"));
  EXPECT_EQ(mode_of(state_ / "pages"), 0700u);
  EXPECT_EQ(mode_of(html), 0600u);
  EXPECT_EQ(mode_of(state_ / "pages" / (id + ".json")), 0600u);
  EXPECT_EQ(std::distance(fs::directory_iterator(state_ / "pages"), fs::directory_iterator()), 2);

  const std::string text = read_text(html);
  EXPECT_THAT(text, HasSubstr("<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
                              "script-src 'sha256-"));
  EXPECT_THAT(text, HasSubstr("style-src 'unsafe-inline'; img-src data:\">"));
  const Json data = page_data(text);
  EXPECT_EQ(data["sim"], "sims/room");
  EXPECT_EQ(data["dataset"]["name"], "ds-a-name");
  EXPECT_EQ(data["episodes_count"], 2);
  // Worst first: episode 1's offset is twice episode 0's.
  EXPECT_EQ(data["episodes"][0]["episode"], 1);
  EXPECT_EQ(data["plan"], Json::parse(R"({"scored": ["Level"], "unscored": [], "unmatched": ["unused sensor"],
                                          "actions": ["Power"]})"));
  const Json& drawn = data["series"]["1"][0];
  EXPECT_EQ(drawn["rows"].size(), static_cast<std::size_t>(ROWS));
  EXPECT_EQ(drawn["recorded"][3], 30);
  EXPECT_EQ(drawn["predicted"][3], 31);
}

TEST_F(NodeEvidencePageTest, ARefusedPageNeverFailsTheScore) {
  Service none(Catalog::load(root_));
  const Reply reply = none.score_rollouts(score_body("ds-a", 0.5, page_member()).dump());
  ASSERT_EQ(reply.status, 200);
  const Json answer = Json::parse(reply.body);
  EXPECT_EQ(answer["evidence_page"], Json::parse(R"({"id": null, "path": null,
      "refused": "this compute node has no --state-dir to keep evidence pages in"})"));
  EXPECT_FALSE(answer["evaluation"].is_null());

  // A folder that cannot take the page: the score is answered, with why there is no page.
  Service pages = service();
  fs::remove_all(state_ / "pages");
  std::ofstream(state_ / "pages") << "not a folder";
  const Json failed = written(pages, score_body("ds-a", 0.5, page_member()));
  EXPECT_TRUE(failed["id"].is_null());
  EXPECT_TRUE(failed["path"].is_null());
  EXPECT_THAT(failed["refused"].get<std::string>(), HasSubstr("the evidence page could not be written: "));
}

TEST_F(NodeEvidencePageTest, OnlyTheLatestPagesAreKept) {
  std::vector<std::string> ids;
  {
    Service pages = service(2);
    for (int i = 0; i < 3; ++i) ids.push_back(written(pages, score_body("ds-a", i, page_member()))["id"]);
    EXPECT_FALSE(fs::exists(state_ / "pages" / (ids[0] + ".html")));
    EXPECT_FALSE(fs::exists(state_ / "pages" / (ids[0] + ".json")));
    EXPECT_TRUE(fs::exists(state_ / "pages" / (ids[2] + ".html")));
    const Reply gone = pages.score_rollouts(score_body("ds-a", 0, page_member("x", ids[0])).dump());
    EXPECT_EQ(gone.status, 422);
    EXPECT_THAT(gone.body,
                HasSubstr("names no evidence page of this node (it may have been removed): " + ids[0]));
  }
  // A restart with fewer to keep removes the oldest at once, and still knows the rest.
  Service restarted = service(1);
  EXPECT_FALSE(fs::exists(state_ / "pages" / (ids[1] + ".html")));
  EXPECT_EQ(written(restarted, score_body("ds-a", 0, page_member("x", ids[2])))["id"].is_string(), true);
}

TEST_F(NodeEvidencePageTest, ABeforePageIsDrawnForTheEpisodesBothHave) {
  Service pages = service();
  Json first = score_body("ds-a", 2, page_member("sims/old"));
  first["episodes"].erase(0);  // episode 1 only
  first["evidence_page"]["caption"] = "before: k=1";
  const std::string before = written(pages, first)["id"];

  Json second = score_body("ds-a", 0.5, page_member("sims/new", before));
  const Json page = written(pages, second);
  const Json data = page_data(read_text(page["path"].get<std::string>()));
  EXPECT_EQ(data["before"]["id"], before);
  EXPECT_EQ(data["before"]["caption"], "before: k=1");
  EXPECT_EQ(data["before"]["sim"], "sims/old");
  EXPECT_FALSE(data["before"]["series"].contains("0"));
  const Json& drawn = data["before"]["series"]["1"]["s"];
  EXPECT_EQ(drawn["predicted"][3], 34);  // 30 + 2 * 2
  EXPECT_EQ(drawn["recorded"][3], 30);

  // A page of another dataset is no "before" of this one.
  const Reply other = pages.score_rollouts(score_body("ds-b", 0.5, page_member("x", before)).dump());
  EXPECT_EQ(other.status, 422);
  EXPECT_THAT(other.body, HasSubstr("is a page of the dataset 'ds-a-name', not of 'ds-b-name'"));
}

TEST_F(NodeEvidencePageTest, APageWhoseDataIsDamagedIsNoBeforePage) {
  Service pages = service();
  const std::string id = written(pages, score_body("ds-a", 1, page_member()))["id"];
  for (const char* damaged :
       {"not json", "[]", R"({"dataset": 3})", R"({"dataset": {"uuid": 1, "name": "x"}})"}) {
    std::ofstream(state_ / "pages" / (id + ".json")) << damaged;
    const Reply reply = pages.score_rollouts(score_body("ds-a", 0, page_member("x", id)).dump());
    EXPECT_EQ(reply.status, 422) << damaged;
    EXPECT_THAT(reply.body, HasSubstr("names no evidence page of this node")) << damaged;
  }
}

TEST_F(NodeEvidencePageTest, HostileNamesStayTextInThePage) {
  make_folder(root_ / "c", description("ds-c", HOSTILE), rows_csv());
  Service pages = service();
  const std::string sim = std::string("<img src=x onerror=alert(2)>&amp;\u2028\u2029");
  Json body = score_body("ds-c", 0.5, page_member(sim));
  body["evidence_page"]["caption"] = HOSTILE;
  const std::string html = read_text(written(pages, body)["path"].get<std::string>());
  EXPECT_EQ(html.find("<script>alert"), std::string::npos);
  EXPECT_EQ(html.find("<img"), std::string::npos);
  EXPECT_EQ(html.find("\u2028"), std::string::npos);
  EXPECT_EQ(html.find("\u2029"), std::string::npos);
  // Three scripts: the data, the chart library and the page's own.
  EXPECT_EQ(count_of(html, "</script>"), 3u);
  const Json data = page_data(html);
  EXPECT_EQ(data["sim"], sim);
  EXPECT_EQ(data["caption"], HOSTILE);
  EXPECT_EQ(data["sensors"][0]["raw_name"], HOSTILE);
  EXPECT_EQ(node_app::script_safe_json(Json("a<b>&c\u2028")), R"("a\u003cb\u003e\u0026c\u2028")");
}

TEST(NodeEvidencePageReduction, KeepsEveryRowOfShortEpisodesAndTheSpikesOfLongOnes) {
  std::vector<double> flat(20'000, 1.0), other(20'000, 2.0);
  const std::span<const double> one[] = {flat};
  EXPECT_EQ(node_app::reduced_rows(std::span(one).first(1), 20'000).size(), 20'000u);
  flat[12'345] = 50;
  other[777] = -9;
  other[778] = NAN;
  const std::span<const double> two[] = {flat, other};
  const std::vector<std::size_t> rows = node_app::reduced_rows(two);
  EXPECT_LE(rows.size(), node_app::PAGE_POINTS);
  EXPECT_TRUE(std::is_sorted(rows.begin(), rows.end()));
  EXPECT_TRUE(std::adjacent_find(rows.begin(), rows.end()) == rows.end());
  EXPECT_NE(std::find(rows.begin(), rows.end(), 12'345u), rows.end());
  EXPECT_NE(std::find(rows.begin(), rows.end(), 777u), rows.end());

  // The spike survives into what a page draws, with its residual.
  std::vector<double> truth(20'000, 0.0), predicted(20'000, 0.0);
  predicted[4'321] = 7;
  const Json drawn = node_app::drawn_series({truth, predicted});
  const auto& drawn_rows = drawn["rows"];
  const auto spike = std::find(drawn_rows.begin(), drawn_rows.end(), Json(4'321));
  ASSERT_NE(spike, drawn_rows.end());
  EXPECT_EQ(drawn["predicted"][static_cast<std::size_t>(spike - drawn_rows.begin())], 7);
  EXPECT_LE(drawn_rows.size(), node_app::PAGE_POINTS);
}

TEST_F(NodeEvidencePageTest, APagesFolderOthersMayEnterIsRefused) {
  fs::create_directories(state_ / "pages");
  fs::permissions(state_ / "pages", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  EXPECT_THROW(PageStore::in_folder(state_, 10), std::runtime_error);
  fs::remove(state_ / "pages");
  fs::create_directory_symlink(root_, state_ / "pages");
  EXPECT_THROW(PageStore::in_folder(state_, 10), std::runtime_error);
}

// The node's program: its options, as its operator gives them.
TEST_F(NodeEvidencePageTest, TheOperatorMayRefusePages) {
  const Json body = score_body("ds-a", 0.5, page_member());
  const struct {
    std::vector<std::string> options;
    std::string refused;
  } cases[] = {
      {{"--state-dir", state_.string(), "--no-evidence-pages"},
       "this compute node writes no evidence pages (its operator started it with --no-evidence-pages)"},
      {{}, "this compute node has no --state-dir to keep evidence pages in"},
  };
  for (const auto& [options, refused] : cases) {
    NodeProgram node(root_, options);
    const testing::NodeAnswer answer = node.request("POST", "/ml/sim-score-rollouts", body.dump());
    ASSERT_EQ(answer.status, 200) << answer.body;
    EXPECT_EQ(answer.json()["evidence_page"],
              (Json{{"id", nullptr}, {"path", nullptr}, {"refused", refused}}));
  }
  NodeProgram node(root_, {"--state-dir", state_.string(), "--keep-pages", "1"});
  for (int i = 0; i < 2; ++i)
    EXPECT_TRUE(node.request("POST", "/ml/sim-score-rollouts", body.dump())
                    .json()["evidence_page"]["id"]
                    .is_string());
  EXPECT_EQ(std::distance(fs::directory_iterator(state_ / "pages"), fs::directory_iterator()),
            2);  // html, json
}

}  // namespace
}  // namespace nalto
