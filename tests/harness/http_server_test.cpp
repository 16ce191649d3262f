#include "harness/http_server.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include "harness/sandbox.hpp"
#include "harness/temp_dir.hpp"

namespace toln::testing {
namespace {

using std::chrono::seconds;

// curl on the host (no sandbox needed): the body, then the status code on a
// line of its own.
RunResult curl(const std::vector<std::string>& args) {
  ChildSpec spec;
  spec.program = "/usr/bin/curl";
  spec.argv = {"curl", "-sS", "-w", "\n%{http_code}"};
  spec.argv.insert(spec.argv.end(), args.begin(), args.end());
  spec.env = {"PATH=/usr/bin:/bin"};
  return run_program(spec, {}, seconds(30));
}

class HttpServerTest : public ::testing::Test {
 protected:
  HttpServerTest() : files_("toln-http-test") { std::ofstream(files_.path() / "bundle.toml") << "host = \"web\"\n"; }
  TempDir files_;
};

TEST_F(HttpServerTest, ServesFilesAndStatuses) {
  HttpServer server(files_.path());
  struct Case {
    std::string path;
    std::string out;  // body, then the status code
  } cases[] = {
      {"/bundle.toml", "host = \"web\"\n\n200"},
      {"bundle.toml", "host = \"web\"\n\n200"},
      {"/status/503", "status 503\n\n503"},
      {"/status/200?x=1", "status 200\n\n200"},
      {"/status/204", "\n204"},
  };
  for (const auto& c : cases) {
    const RunResult result = curl({server.url(c.path)});
    EXPECT_EQ(result.exit_status, 0) << c.path << ": " << result.err;
    EXPECT_EQ(result.out, c.out) << c.path;
  }
  for (const std::string path : {"/missing.toml", "/status/700", "/status/199"}) {
    EXPECT_TRUE(curl({"-o", "/dev/null", server.url(path)}).out.ends_with("\n404")) << path;
  }
}

TEST_F(HttpServerTest, RedirectsToThePathAfterTheRoute) {
  HttpServer server(files_.path());
  const RunResult headers = curl({"-D", "-", "-o", "/dev/null", server.url("/redirect/bundle.toml")});
  EXPECT_TRUE(headers.out.starts_with("HTTP/1.0 302 ")) << headers.out;
  EXPECT_NE(headers.out.find("\r\nLocation: /bundle.toml\r\n"), std::string::npos) << headers.out;
  EXPECT_EQ(curl({"-L", server.url("/redirect/status/201")}).out, "status 201\n\n201");
  EXPECT_EQ(server.requests(),
            (std::vector<std::string>{"GET /redirect/bundle.toml", "GET /redirect/status/201", "GET /status/201"}));
}

TEST_F(HttpServerTest, GeneratesLargeBodies) {
  HttpServer server(files_.path());
  EXPECT_NE(curl({"-I", server.url("/bytes/10")}).out.find("\r\nContent-Length: 10\r\n"), std::string::npos);
  EXPECT_EQ(curl({server.url("/bytes/3000001")}).out, std::string(3000001, 'a') + "\n200");
  EXPECT_EQ(curl({server.url("/bytes/0")}).out, "\n200");
  EXPECT_EQ(server.requests(), (std::vector<std::string>{"HEAD /bytes/10", "GET /bytes/3000001", "GET /bytes/0"}));
}

TEST_F(HttpServerTest, SlowRouteNeverAnswers) {
  HttpServer server(files_.path());
  const RunResult result = curl({"-m", "0.5", server.url("/slow")});
  EXPECT_EQ(result.exit_status, 28) << result.err;  // curl: operation timed out
  EXPECT_EQ(server.requests(), (std::vector<std::string>{"GET /slow"}));
  // The server still answers other requests while one hangs.
  EXPECT_EQ(curl({server.url("/status/200")}).out, "status 200\n\n200");
}

TEST_F(HttpServerTest, RedirectsToAnyLocationAsWritten) {
  HttpServer server(files_.path());
  const std::string target = "ftp://127.0.0.1:1/x?y";
  const RunResult headers = curl({"-D", "-", "-o", "/dev/null", server.url("/redirect-to?" + target)});
  EXPECT_TRUE(headers.out.starts_with("HTTP/1.0 302 ")) << headers.out;
  EXPECT_NE(headers.out.find("\r\nLocation: " + target + "\r\n"), std::string::npos) << headers.out;
  EXPECT_EQ(curl({"-L", server.url("/redirect-to?" + server.url("/status/201"))}).out, "status 201\n\n201");
}

TEST_F(HttpServerTest, DripRouteSendsOneByteEveryTwoSeconds) {
  HttpServer server(files_.path());
  const RunResult result = curl({"-D", "-", "-m", "3", server.url("/drip")});
  EXPECT_EQ(result.exit_status, 28) << result.err;
  EXPECT_NE(result.out.find("\r\nContent-Length: 1000\r\n"), std::string::npos) << result.out;
  std::string body = result.out.substr(result.out.find("\r\n\r\n") + 4);
  body = body.substr(0, body.find('\n'));
  EXPECT_TRUE(body == "a" || body == "aa") << body;  // at 0 s and, unless the machine is slow, at 2 s
}

TEST_F(HttpServerTest, TlsWithTheTestCertificate) {
  HttpServer server(files_.path(), Scheme::Https);
  EXPECT_EQ(server.url("/x"), "https://127.0.0.1:" + std::to_string(server.port()) + "/x");
  EXPECT_EQ(curl({"--cacert", kTestCaBundle, server.url("/bundle.toml")}).out, "host = \"web\"\n\n200");
  EXPECT_EQ(curl({"--cacert", kTestCaBundle, "-L", server.url("/redirect/status/201")}).out, "status 201\n\n201");
  EXPECT_EQ(curl({server.url("/bundle.toml")}).exit_status, 60) << "not trusted without the certificate";
}

TEST_F(HttpServerTest, ServersGetTheirOwnPorts) {
  HttpServer first(files_.path());
  HttpServer second(files_.path());
  EXPECT_GT(first.port(), 0);
  EXPECT_NE(first.port(), second.port());
  EXPECT_EQ(first.url("/x"), "http://127.0.0.1:" + std::to_string(first.port()) + "/x");
}

TEST_F(HttpServerTest, ReachableFromTheSandbox) {
  TOLN_REQUIRE_SANDBOX();
  HttpServer server(files_.path());
  Sandbox sandbox;
  const RunResult result = sandbox.run_in_namespace("curl -fsS " + server.url("/bundle.toml"));
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.out, "host = \"web\"\n");
}

}  // namespace
}  // namespace toln::testing
