// Serve mode with http(s) sources: the real binary in the sandbox, against
// the test HTTP server through the real curl, or against a fake curl that
// records its arguments and answers as a case needs.
#include <gtest/gtest.h>

#include <chrono>

#include "harness/http_server.hpp"
#include "harness/sandbox.hpp"
#include "serve/serve_support.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using namespace serve_testing;
using testing::HttpServer;
using testing::Invocation;
using testing::RunResult;
using testing::Sandbox;

constexpr std::string_view kPlainHttpWarning =
    "warning: fetching the bundle over plain http is insecure - the bundle contains decrypted secrets and can be "
    "read or replaced in transit; prefer https or a local path\n";

class ServeFetch : public ::testing::Test {
 protected:
  void SetUp() override {
    TOLN_REQUIRE_SANDBOX();
    fs::create_directory(www());
  }
  fs::path www() const { return sandbox.scratch_dir() / "www"; }
  fs::path scratch(const std::string& name) const { return sandbox.scratch_dir() / name; }
  RunResult once(const std::string& source) {
    return sandbox.run_agent({"serve", "--source", source, "--once", "--report-dir", "reports"});
  }
  Sandbox sandbox;
};

TEST_F(ServeFetch, PlainHttpThroughCurlWithAWarningBeforeEveryFetch) {
  write_file(www() / "bundle.toml", touch_ran());
  HttpServer server(www());
  const std::string over_limit = server.url("/bytes/67108865");
  struct Case {
    std::string path;
    int status;
    std::string err;  // after the warning
  } cases[] = {
      {"/bundle.toml", 0, "serve: ok=0 changed=1 failed=0 skipped=0\n"},
      {"/redirect/bundle.toml", 1, "serve: ok=1 changed=0 failed=0 skipped=0\n"},
      {"/status/404", 5,
       "serve error: config error: curl failed to fetch " + server.url("/status/404") +
           ": curl: (22) The requested URL returned error: 404\n"},
      {"/status/503", 5,
       "serve error: config error: curl failed to fetch " + server.url("/status/503") +
           ": curl: (22) The requested URL returned error: 503\n"},
      // curl refuses a body over the limit that it announces.
      {"/bytes/67108865", 5,
       "serve error: config error: curl failed to fetch " + over_limit + ": curl: (63) Maximum file size exceeded\n"},
  };
  for (const auto& c : cases) {
    const RunResult result = once(server.url(c.path));
    EXPECT_EQ(result.exit_status, c.status) << c.path;
    EXPECT_EQ(result.err, std::string(kPlainHttpWarning) + c.err) << c.path;
    EXPECT_EQ(result.out, "");
  }
  EXPECT_EQ(server.requests(),
            (std::vector<std::string>{"GET /bundle.toml", "GET /redirect/bundle.toml", "GET /bundle.toml",
                                      "GET /status/404", "GET /status/503", "GET /bytes/67108865"}));
  const auto names = names_in(scratch("reports"));
  ASSERT_EQ(names.size(), 2u);
  EXPECT_TRUE(read_file(scratch("reports") / names[0]).starts_with("{\n  \"source\": \"" + server.url("/bundle.toml") + "\",\n"));
}

TEST_F(ServeFetch, LoopWarnsEveryCycleAndRecoversWhenTheServerDoes) {
  HttpServer server(www());
  const std::string url = server.url("/bundle.toml");
  auto agent = sandbox.start_agent({"serve", "--source", url, "--interval", "1s", "--report-dir", "reports"});
  ASSERT_TRUE(agent.wait_for_err([](std::string_view err) { return count_lines_starting(err, "serve error: ") >= 2; },
                                 std::chrono::seconds(20)))
      << agent.err();
  write_file(www() / "bundle.toml", touch_ran());
  ASSERT_TRUE(agent.wait_for_err([](std::string_view err) { return count_lines_starting(err, "serve: ") >= 2; },
                                 std::chrono::seconds(20)))
      << agent.err();
  const RunResult result = agent.stop();

  // Warning, outcome; warning, outcome; ... (the last cycle may have been
  // stopped after its warning).
  const std::string warning(kPlainHttpWarning.substr(0, kPlainHttpWarning.size() - 1));
  const std::string not_found =
      "serve error: config error: curl failed to fetch " + url + ": curl: (22) The requested URL returned error: 404";
  auto lines = lines_of(result.err);
  if (lines.size() % 2 == 1) {
    EXPECT_EQ(lines.back(), warning);
    lines.pop_back();
  }
  std::vector<std::string> outcomes;
  for (std::size_t i = 0; i < lines.size(); i += 2) {
    EXPECT_EQ(lines[i], warning) << result.err;
    outcomes.push_back(lines[i + 1]);
  }
  ASSERT_GE(outcomes.size(), 4u) << result.err;
  std::size_t i = 0;
  while (i < outcomes.size() && outcomes[i] == not_found) ++i;
  EXPECT_GE(i, 2u) << result.err;
  ASSERT_LT(i, outcomes.size());
  EXPECT_EQ(outcomes[i], "serve: ok=0 changed=1 failed=0 skipped=0");
  for (std::size_t j = i + 1; j < outcomes.size(); ++j) EXPECT_EQ(outcomes[j], "serve: ok=1 changed=0 failed=0 skipped=0");
  EXPECT_GE(names_in(scratch("reports")).size(), outcomes.size() - i);
}

// The https URLs below go to a fake curl only: nothing leaves the machine.
TEST_F(ServeFetch, CurlIsBoundedInSizeTimeAndRedirects) {
  sandbox.add_fake("curl", "printf 'host = \"h\"\\nresources = []\\n'");
  const std::string url = "https://bundles.example.invalid/web.toml";
  const RunResult result = once(url);
  EXPECT_EQ(result.exit_status, 1) << result.err;
  EXPECT_EQ(result.err, "serve: ok=0 changed=0 failed=0 skipped=0\n") << "no warning for https";
  const std::string plain = "http://bundles.example.invalid/web.toml";
  EXPECT_EQ(once(plain).exit_status, 1);
  const auto bounded = [](const std::string& redirects, const std::string& to) {
    return Invocation{"curl", "-fsSL", "--max-filesize", "67108864", "--max-time", "300", "--connect-timeout", "30",
                      "--speed-limit", "1024", "--speed-time", "30", "--proto-redir", redirects, to};
  };
  EXPECT_EQ(sandbox.invocations_except("restorecon"), (std::vector<Invocation>{bounded("=https", url), bounded("=http,https", plain)}));
}

// The real curl against local servers: a redirect may lead from http to
// https and stay within either, never from https to http nor to another
// protocol; the cycle fails with curl's error.
TEST_F(ServeFetch, RedirectsNeverDowngrade) {
  write_file(www() / "bundle.toml", "host = \"h\"\nresources = []\n");
  HttpServer plain(www());
  HttpServer tls(www(), testing::Scheme::Https);
  const std::string ok = "serve: ok=0 changed=0 failed=0 skipped=0\n";
  const std::string warning(kPlainHttpWarning);
  const auto refused = [](const std::string& source, const std::string& protocol) {
    return "serve error: config error: curl failed to fetch " + source + ": curl: (1) Protocol \"" + protocol +
           "\" not supported or disabled in libcurl\n";
  };
  const std::string to_http = tls.url("/redirect-to?" + plain.url("/bundle.toml"));
  const std::string to_ftp = plain.url("/redirect-to?ftp://127.0.0.1:1/bundle.toml");
  const std::string to_file = plain.url("/redirect-to?file://" + (www() / "bundle.toml").string());
  const struct {
    std::string source;
    int status;
    std::string err;
  } cases[] = {
      {tls.url("/redirect/bundle.toml"), 1, ok},
      {plain.url("/redirect-to?" + tls.url("/bundle.toml")), 1, warning + ok},
      {to_http, 5, refused(to_http, "http")},
      {to_ftp, 5, warning + refused(to_ftp, "ftp")},
      {to_file, 5, warning + refused(to_file, "file")},
  };
  for (const auto& c : cases) {
    const RunResult result = sandbox.run_agent({"serve", "--source", c.source, "--once", "--report-dir", "reports"},
                                               {}, {{"CURL_CA_BUNDLE", testing::kTestCaBundle}});
    EXPECT_EQ(result.exit_status, c.status) << c.source;
    EXPECT_EQ(result.err, c.err) << c.source;
  }
  EXPECT_EQ(plain.requests(), (std::vector<std::string>{"GET /redirect-to?" + tls.url("/bundle.toml"),
                                                        "GET /redirect-to?ftp://127.0.0.1:1/bundle.toml",
                                                        "GET /redirect-to?file://" + (www() / "bundle.toml").string()}))
      << "the refused redirect to http is never followed";
}

// A source that drips fails its cycle after the low-speed bound (shortened
// here; CurlIsBoundedInSizeTimeAndRedirects shows the real 30 seconds), and
// the loop goes on to the next.
TEST_F(ServeFetch, StalledSourceFailsItsCycleAndTheLoopGoesOn) {
  HttpServer server(www());
  const std::string url = server.url("/drip");
  const auto start = std::chrono::steady_clock::now();
  auto agent = sandbox.start_agent({"serve", "--source", url, "--interval", "1s", "--report-dir", "reports"}, {},
                                   testing::short_stall_bound());
  ASSERT_TRUE(agent.wait_for_err([](std::string_view err) { return count_lines_starting(err, "serve error: ") >= 1; },
                                 std::chrono::seconds(60)))
      << agent.err();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::seconds(testing::kShortStallSeconds));
  // The next cycle begins with its warning, then fetches again.
  const std::string warning(kPlainHttpWarning.substr(0, kPlainHttpWarning.size() - 1));
  ASSERT_TRUE(agent.wait_for_err([&](std::string_view err) { return count_lines_starting(err, warning) >= 2; },
                                 std::chrono::seconds(10)))
      << agent.err();
  const RunResult result = agent.stop();
  EXPECT_EQ(lines_of(result.err),
            (std::vector<std::string>{warning,
                                      "serve error: config error: curl failed to fetch " + url +
                                          ": curl: (28) Operation too slow. Less than 1024 bytes/sec transferred the "
                                          "last " +
                                          std::to_string(testing::kShortStallSeconds) + " seconds",
                                      warning}));
  const auto requests = server.requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.front(), "GET /drip");
}

TEST_F(ServeFetch, WhatCurlLeavesBehind) {
  const std::string url = "https://bundles.example.invalid/web.toml";
  const std::string failed = "serve error: config error: curl failed to fetch " + url + ": ";
  struct Case {
    std::string body;
    int status;
    std::string err;
  } cases[] = {
      // The error text is trimmed; one that is not UTF-8 shows as empty.
      {"printf '  curl: (6) Could not resolve host\\n\\n' >&2; exit 6", 5,
       failed + "curl: (6) Could not resolve host\n"},
      {"printf 'bad \\377\\n' >&2; exit 22", 5, failed + "\n"},
      {"printf 'curl: (28) Operation timed out\\n' >&2; exit 28", 5, failed + "curl: (28) Operation timed out\n"},
      {"kill -9 $$", 5, failed + "\n"},
      // A failure status wins over good output.
      {"printf 'host = \"h\"\\nresources = []\\n'; exit 23", 5, failed + "\n"},
      {"printf 'host = \"\\377\"\\n'", 5,
       "serve error: parse error: input is not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 8\n"},
      // Past the limit the agent stops reading and kills curl, which would
      // otherwise keep it waiting.
      {"head -c 67108865 /dev/zero; exec sleep 600", 5,
       "serve error: config error: input too large: exceeds 67108864 bytes\n"},
      // Much on standard error before any output: both pipes are drained.
      {"head -c 1048576 /dev/zero | tr '\\000' e >&2; printf 'host = \"h\"\\nresources = []\\n'", 1,
       "serve: ok=0 changed=0 failed=0 skipped=0\n"},
      {"printf 'not a bundle ='", 5, ""},
  };
  for (const auto& c : cases) {
    sandbox.add_fake("curl", c.body);
    const RunResult result = once(url);
    EXPECT_EQ(result.exit_status, c.status) << c.body;
    if (c.err.empty()) {
      EXPECT_TRUE(result.err.starts_with("serve error: parse error: failed to parse bundle: ")) << result.err;
    } else {
      EXPECT_EQ(result.err, c.err) << c.body;
    }
  }
}

TEST_F(ServeFetch, CurlThatCannotBeStarted) {
  // Hide every curl of the child search path.
  sandbox.overlay("/usr/bin");
  sandbox.whiteout("/usr/bin/curl");
  for (const char* dir : {"/usr/local/bin", "/usr/sbin"}) {
    ASSERT_FALSE(fs::exists(fs::path(dir) / "curl")) << dir;
  }
  const std::string url = "https://bundles.example.invalid/web.toml";
  const RunResult result = once(url);
  EXPECT_EQ(result.exit_status, 5);
  EXPECT_EQ(result.err,
            "serve error: config error: failed to run curl for " + url + ": No such file or directory (os error 2)\n");
}

}  // namespace
}  // namespace toln
