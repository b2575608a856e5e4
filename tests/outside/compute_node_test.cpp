#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "nalto/support/http.hpp"
#include "support/fixtures.hpp"

namespace nalto {
namespace {

using ::testing::ElementsAre;
using testing::FakeNode;
using testing::FakePlatform;
using ::testing::HasSubstr;
using testing::Loop;
using testing::ScopedEnv;

TEST(ComputeNodeSupportTest, UrlAndHeadersAreReadAtEveryCall) {
  {
    ScopedEnv url("NALTO_COMPUTE_URL", std::nullopt);
    ScopedEnv token("NALTO_COMPUTE_TOKEN", std::nullopt);
    EXPECT_EQ(outside::compute_url(), "http://127.0.0.1:8470");
    EXPECT_TRUE(outside::_auth_headers().empty());
  }
  ScopedEnv url("NALTO_COMPUTE_URL", "http://node:9/");
  ScopedEnv token("NALTO_COMPUTE_TOKEN", "s3cret");
  EXPECT_EQ(outside::compute_url(), "http://node:9/");
  EXPECT_THAT(outside::_auth_headers(),
              ElementsAre(std::pair<std::string, std::string>("Authorization", "Bearer s3cret")));
}

TEST(ComputeNodeSupportTest, ATokenWithALineBreakIsRefusedNotSentAsMoreHeaders) {
  for (const char* given : {"s3cret\r\nX-Admin: 1", "s3cret\n", "\rs3cret"}) {
    ScopedEnv token("NALTO_COMPUTE_TOKEN", given);
    try {
      outside::_auth_headers();
      ADD_FAILURE() << "accepted " << given;
    } catch (const PublishReportError& e) {
      EXPECT_STREQ(e.what(),
                   "NALTO_COMPUTE_TOKEN holds a line break: set it to the compute node's token alone");
    }
  }
  EXPECT_THROW(http_request("GET", "http://127.0.0.1:9/", {{"X-A", "1\r\nX-B: 2"}}, std::nullopt, 1),
               ValueError);
}

class ResolveDatasetTest : public ::testing::Test {
 protected:
  Json resolve(std::string ref) {
    return loop.run(outside::resolve_local_dataset(platform, "org-1", std::move(ref)));
  }

  std::exception_ptr resolve_failure(std::string ref) {
    try {
      resolve(std::move(ref));
    } catch (...) {
      return std::current_exception();
    }
    ADD_FAILURE() << "no failure";
    return nullptr;
  }

  Loop loop;
  FakePlatform platform;
  FakeNode node;
};

TEST_F(ResolveDatasetTest, AnswersTheNodesRecordForTheEscapedReference) {
  ScopedEnv token("NALTO_COMPUTE_TOKEN", "s3cret");
  std::string path, authorization;
  node.server.Get(R"(/ml/datasets/.*)", [&](const httplib::Request& request, httplib::Response& response) {
    path = request.target;
    authorization = request.get_header_value("Authorization");
    response.set_content(R"({"id":"u-1","name":"Room data","cycles":{"count":40}})", "application/json");
  });
  node.start();
  EXPECT_EQ(resolve("room data/2026"),
            Json::parse(R"({"id":"u-1","name":"Room data","cycles":{"count":40}})"));
  EXPECT_EQ(path, "/ml/datasets/room%20data%2F2026");
  EXPECT_EQ(authorization, "Bearer s3cret");
}

TEST_F(ResolveDatasetTest, Failures) {
  node.server.Get(R"(/ml/datasets/(\w+))", [&](const httplib::Request& request, httplib::Response& response) {
    const std::string ref = request.matches[1];
    if (ref == "unknown") response.status = 404;
    if (ref == "locked") {
      response.status = 401;
      response.set_content(R"({"detail":"wrong token"})", "application/json");
    }
    if (ref == "broken") {
      response.status = 500;
      response.set_content("<html>oops</html>", "text/html");
    }
    if (ref == "garbled") response.set_content("not json", "text/plain");
  });
  node.start();

  try {
    std::rethrow_exception(resolve_failure("unknown"));
  } catch (const PublishReportError& e) {
    EXPECT_EQ(std::string(e.what()), "The compute node at " + node.url() + " has no dataset 'unknown'");
  }
  try {
    std::rethrow_exception(resolve_failure("locked"));
  } catch (const PublishReportError& e) {
    EXPECT_STREQ(e.what(), "The compute node refused the analysis: wrong token");
  }
  try {
    std::rethrow_exception(resolve_failure("broken"));
  } catch (const HTTPStatusError& e) {
    EXPECT_EQ(e.status(), 500);
    EXPECT_THAT(e.what(), HasSubstr("/ml/datasets/broken"));
  }
  EXPECT_THROW(resolve("garbled"), JSONDecodeError);
}

TEST_F(ResolveDatasetTest, AnUnreachableNodeIsAConnectError) {
  // A port that was just free: nothing listens there.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
  ::close(fd);
  const int port = ntohs(address.sin_port);
  ScopedEnv url("NALTO_COMPUTE_URL", "http://127.0.0.1:" + std::to_string(port));
  try {
    resolve("room");
    FAIL() << "no failure";
  } catch (const ConnectError& e) {
    EXPECT_THAT(e.what(), HasSubstr("127.0.0.1:" + std::to_string(port)));
  }
}

TEST_F(ResolveDatasetTest, CancellationAbortsTheRequestAtOnce) {
  // Shared with the handler, which may still wait on it after this test's body has ended.
  const auto release = std::make_shared<std::atomic<bool>>(false);
  node.server.Get(R"(/ml/datasets/.*)",
                  [this, release](const httplib::Request&, httplib::Response& response) {
                    loop.cancel_soon();
                    testing::hold_until(*release);
                    response.set_content("{}", "application/json");
                  });
  node.start();
  const auto start = std::chrono::steady_clock::now();
  const auto failure = resolve_failure("room");
  const auto took = std::chrono::steady_clock::now() - start;
  *release = true;
  EXPECT_TRUE(is_cancellation(failure));
  EXPECT_LT(took, std::chrono::seconds(2)) << "aborted, not waited out";
}

}  // namespace
}  // namespace nalto
