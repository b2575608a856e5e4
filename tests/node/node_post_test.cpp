#include "nalto/node/node_post.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/fixtures.hpp"

namespace nalto {
namespace {

using testing::FakeNode;
using ::testing::HasSubstr;
using testing::Loop;
using testing::ScopedEnv;

struct Answer {
  int status;
  std::string body;
  std::string content_type = "application/json";
};

class NodePostTest : public ::testing::Test {
 protected:
  // Starts the node answering every request with `answer`.
  void start_answering() {
    node.server.Post(R"(.*)", [this](const httplib::Request& request, httplib::Response& response) {
      requests.push_back(request);
      response.status = answer.status;
      response.set_content(answer.body, answer.content_type);
    });
    node.start();
  }

  // The failure of one request, or null when it succeeded.
  std::exception_ptr failure_of(const std::string& path, double timeout = 5) {
    try {
      _node_post(path, Json{{"dataset_uuid", "u"}}, timeout);
    } catch (...) {
      return std::current_exception();
    }
    return nullptr;
  }

  FakeNode node;
  std::vector<httplib::Request> requests;
  Answer answer{200, "{}"};
};

TEST_F(NodePostTest, SendsTheBodyAsJsonWithTheAuthHeadersAndParsesTheAnswer) {
  ScopedEnv token("NALTO_COMPUTE_TOKEN", "t0k");
  start_answering();
  answer = {200, R"({"episodes": [], "raw_names": {"b": "B", "a": "A"}})"};
  const Json body = Json{{"dataset_uuid", "u-1"}, {"episodes", {0, 5, 9}}, {"a_last", true}};
  const Json got = _node_post("analysis-actions", body, 5);
  EXPECT_EQ(got.dump(), R"({"episodes":[],"raw_names":{"b":"B","a":"A"}})") << "member order kept";
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/ml/analysis-actions");
  EXPECT_EQ(requests[0].body, R"({"dataset_uuid":"u-1","episodes":[0,5,9],"a_last":true})");
  EXPECT_EQ(requests[0].get_header_value("Content-Type"), "application/json");
  EXPECT_EQ(requests[0].get_header_value("Authorization"), "Bearer t0k");
  EXPECT_FALSE(requests[0].has_header("Expect"));
}

TEST_F(NodePostTest, TheUrlIsAPlainConcatenation) {
  start_answering();
  ScopedEnv url("NALTO_COMPUTE_URL", node.url() + "/");
  EXPECT_EQ(failure_of("sim-analyze-rollouts"), nullptr);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "//ml/sim-analyze-rollouts");
}

TEST_F(NodePostTest, RefusalsAndErrors) {
  start_answering();
  struct Case {
    Answer answer;
    std::string error;    // type name
    std::string message;  // exact for refusals, a part otherwise
  };
  const std::string refused = "The compute node refused the analysis: ";
  const std::vector<Case> cases = {
      {{422, R"({"detail": "episodes must be a list"})"},
       "PublishReportError",
       refused + "episodes must be a list"},
      {{404, "no such dataset", "text/plain"}, "PublishReportError", refused + "no such dataset"},
      {{409, R"({"error": "again"})"}, "PublishReportError", refused + R"({"error": "again"})"},
      {{401, "", "text/plain"}, "PublishReportError", refused},
      {{401, "<html>Unauthorized</html>", "text/html"},
       "PublishReportError",
       refused + "<html>Unauthorized</html>"},
      {{422, R"({"detail": [{"loc": ["body"], "msg": "x"}]})"},
       "PublishReportError",
       refused + R"([{"loc":["body"],"msg":"x"}])"},
      {{422, R"(["not", "an object"])"}, "PublishReportError", refused + R"(["not", "an object"])"},
      {{500, R"({"detail": "boom"})"}, "HTTPStatusError", "HTTP status 500"},
      {{400, R"({"detail": "bad"})"}, "HTTPStatusError", "HTTP status 400"},
      {{403, "forbidden"}, "HTTPStatusError", "HTTP status 403"},
      {{503, ""}, "HTTPStatusError", "HTTP status 503"},
      {{200, "<html>ok</html>", "text/html"}, "JSONDecodeError", ""},
      {{200, ""}, "JSONDecodeError", ""},
  };
  for (const auto& c : cases) {
    answer = c.answer;
    const auto failure = failure_of("analysis-actions");
    ASSERT_TRUE(failure) << c.answer.status << " " << c.answer.body;
    try {
      std::rethrow_exception(failure);
    } catch (const Error& e) {
      EXPECT_EQ(e.type_name(), c.error) << c.answer.status << " " << c.answer.body;
      if (c.error == "PublishReportError") {
        EXPECT_EQ(e.what(), c.message);
        EXPECT_FALSE(dynamic_cast<const PublishReportError&>(e).cause()) << "no cause is attached";
      } else {
        EXPECT_THAT(e.what(), HasSubstr(c.message));
      }
      if (const auto* status = dynamic_cast<const HTTPStatusError*>(&e)) {
        EXPECT_EQ(status->status(), c.answer.status);
      }
    }
  }
}

TEST_F(NodePostTest, TheTimeOutIsAReadTimeout) {
  node.server.Post("/ml/slow", [](const httplib::Request&, httplib::Response& response) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    response.set_content("{}", "application/json");
  });
  node.start();
  try {
    std::rethrow_exception(failure_of("slow", 0.05));
  } catch (const ReadTimeout& e) {
    EXPECT_THAT(e.what(), HasSubstr(node.url() + "/ml/slow"));
  }
}

// How long `post`, run on a worker, takes to end by a cancellation of the loop.
std::chrono::steady_clock::duration time_to_cancel(Loop& loop, std::function<Json()> post) {
  const auto start = std::chrono::steady_clock::now();
  try {
    loop.run(run_blocking(std::move(post)));
    ADD_FAILURE() << "not cancelled";
  } catch (...) {
    EXPECT_TRUE(is_cancellation(std::current_exception()));
  }
  return std::chrono::steady_clock::now() - start;
}

TEST_F(NodePostTest, CancellationAbortsTheTransferAtOnce) {
  Loop loop;
  // Shared with the handler, which may still wait on it after this test's body has ended.
  const auto release = std::make_shared<std::atomic<bool>>(false);
  node.server.Post("/ml/hang", [&loop, release](const httplib::Request&, httplib::Response& response) {
    loop.cancel_soon();
    testing::hold_until(*release);
    response.set_content("{}", "application/json");
  });
  node.start();
  const auto took = time_to_cancel(loop, [] { return _node_post("hang", Json::object(), 600); });
  *release = true;
  EXPECT_LT(took, std::chrono::seconds(2)) << "aborted, not waited out";
}

// Writes `pieces` of the same text one after another, then ends; each read takes what fits.
BodyWriter repeated(std::string piece, std::size_t pieces) {
  auto left = std::make_shared<std::string>();
  for (std::size_t i = 0; i < pieces; ++i) *left += piece;
  auto given = std::make_shared<std::size_t>(0);
  return [left, given](char* out, std::size_t capacity) {
    const std::size_t n = std::min(capacity, left->size() - *given);
    std::copy_n(left->data() + *given, n, out);
    *given += n;
    return n;
  };
}

TEST_F(NodePostTest, AStreamedBodyArrivesWholeInChunks) {
  start_answering();
  const std::string piece = R"({"x":[1.5,null,-2.0]},)";
  const Json got = node_post_streamed("sim-analyze-rollouts", repeated(piece, 50'000), 5);
  EXPECT_EQ(got, Json::object());
  ASSERT_EQ(requests.size(), 1u);
  std::string expected;
  for (int i = 0; i < 50'000; ++i) expected += piece;
  EXPECT_EQ(requests[0].body, expected);
  EXPECT_EQ(requests[0].get_header_value("Transfer-Encoding"), "chunked");
  EXPECT_EQ(requests[0].get_header_value("Content-Type"), "application/json");
  EXPECT_FALSE(requests[0].has_header("Expect"));
}

TEST_F(NodePostTest, WhatTheBodysWriterThrowsFailsTheRequest) {
  start_answering();
  const BodyWriter failing = [](char*, std::size_t) -> std::size_t {
    throw ValueError("no more predictions");
  };
  try {
    node_post_streamed("sim-analyze-rollouts", failing, 5);
    ADD_FAILURE() << "no failure";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "no more predictions");
  }
}

TEST_F(NodePostTest, CancellationAbortsAStreamedBodyAtOnce) {
  Loop loop;
  std::atomic<std::size_t> sent = 0;
  node.server.Post("/ml/endless", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("{}", "application/json");
  });
  node.start();
  // A body that never ends, whose first megabytes ask for the cancellation.
  const BodyWriter endless = [&](char* out, std::size_t capacity) {
    std::fill_n(out, capacity, ' ');
    if ((sent += capacity) >= (4u << 20) && sent - capacity < (4u << 20)) loop.cancel_soon();
    return capacity;
  };
  const auto took = time_to_cancel(loop, [&endless] { return node_post_streamed("endless", endless, 600); });
  EXPECT_LT(took, std::chrono::seconds(5)) << "aborted, not sent out";
  EXPECT_GE(sent.load(), 4u << 20);
}

}  // namespace
}  // namespace nalto
