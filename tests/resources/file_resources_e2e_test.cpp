// file, directory, download and cron end to end: the real binary in the
// sandbox, with files under the scratch directory, cron files in the
// overlaid /etc and downloads from a local server.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "harness/http_server.hpp"
#include "harness/sandbox.hpp"
#include "host/file_services.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using namespace toln::testing;

// Replaces every "{S}" by the scratch directory and "{U}" by the server.
std::string fill(std::string text, const std::string& scratch, const std::string& server) {
  for (const auto& [mark, value] : {std::pair{std::string("{S}"), scratch}, std::pair{std::string("{U}"), server}}) {
    for (std::size_t at = 0; (at = text.find(mark, at)) != std::string::npos; at += value.size()) {
      text.replace(at, mark.size(), value);
    }
  }
  return text;
}

std::string sha256_hex(std::string_view data) { return content_digest(data).substr(7); }

const std::string kConfig = "listen = 8080\n";
const std::string kTool = "#!/bin/sh\necho tool\n";
const std::string kCron =
    "# Managed by toln \u2014 do not edit manually\nMAILTO=ops@example.com\nTZ=UTC\n\n30 2 * * *  root  {S}/app/bin/tool\n";

class FileResourcesEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    TOLN_REQUIRE_SANDBOX();
    sandbox.add_fake("restorecon", "exit 0");
    fs::create_directories(served());
    write_file(served() / "tool", kTool);
    server = std::make_unique<HttpServer>(served());
    // /etc/cron.d as a host without cron lacks it.
    sandbox.write_upper("/etc/cron.d/.placeholder", "");
  }
  fs::path served() const { return sandbox.scratch_dir() / "served"; }
  std::string fill(const std::string& text) const {
    return toln::fill(text, sandbox.scratch_dir().string(), server->url(""));
  }
  std::string bundle() const {
    return fill(R"(host = "h"
[[resources]]
resource_type = "directory"
name = "app"
props = { path = "{S}/app", mode = "0750" }

[[resources]]
resource_type = "file"
name = "config"
after = ["directory.app"]
props = { path = "{S}/app/config.toml", content = "listen = 8080\n", mode = "0640" }

[[resources]]
resource_type = "download"
name = "tool"
after = ["directory.app"]
props = { url = "{U}tool", dest = "{S}/app/bin/tool", checksum = ")" + sha256_hex(kTool) + R"(", mode = "0755" }

[[resources]]
resource_type = "cron"
name = "toln-e2e-backup"
after = ["download.tool"]
props = { user = "root", schedule = "30 2 * * *", command = "{S}/app/bin/tool", mailto = "ops@example.com", env = { TZ = "UTC" } }
)");
  }
  Sandbox sandbox;
  std::unique_ptr<HttpServer> server;
};

std::string json_text(std::string text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\\n") : std::string(1, c);
  return out;
}

TEST_F(FileResourcesEndToEnd, FirstRunSecondRunAndDryRun) {
  const RunResult dry = sandbox.run_agent({"--dry-run"}, bundle());
  EXPECT_EQ(dry.exit_status, 0) << dry.err;
  EXPECT_EQ(dry.out, fill(R"({"host":"h","resources":[)"
                          R"({"type":"directory","name":"app","status":"changed","diff":"create {S}/app","changes":[{"field":"directory","action":"create","to":"{S}/app"}]},)"
                          R"({"type":"download","name":"tool","status":"changed","diff":"would download {U}tool -> {S}/app/bin/tool"},)"
                          R"({"type":"file","name":"config","status":"changed","diff":"content","changes":[{"field":"content","action":"create","to":")" +
                          content_digest(kConfig) + R"("}]},)"
                          R"({"type":"cron","name":"toln-e2e-backup","status":"changed","diff":"would write /etc/cron.d/toln-e2e-backup","to":")" +
                          json_text(kCron) + R"("}],)"
                          R"("summary":{"changed":4,"ok":0,"failed":0,"skipped":0}})"
                          "\n"));
  EXPECT_FALSE(fs::exists(sandbox.scratch_dir() / "app"));
  EXPECT_FALSE(sandbox.read_upper("/etc/cron.d/toln-e2e-backup"));
  EXPECT_TRUE(server->requests().empty());

  const RunResult first = sandbox.run_agent({}, bundle());
  EXPECT_EQ(first.exit_status, 0) << first.err;
  EXPECT_EQ(first.out, fill(R"({"host":"h","resources":[)"
                            R"({"type":"directory","name":"app","status":"changed","diff":"create {S}/app, mode 0755 → 0750","changes":[{"field":"directory","action":"create","to":"{S}/app"},{"field":"mode","action":"update","from":"0755","to":"0750"}]},)"
                            R"({"type":"download","name":"tool","status":"changed","diff":"downloaded -> {S}/app/bin/tool"},)"
                            R"({"type":"file","name":"config","status":"changed","diff":"content","changes":[{"field":"content","action":"create","to":")" +
                            content_digest(kConfig) + R"("}]},)"
                            R"({"type":"cron","name":"toln-e2e-backup","status":"changed","diff":"wrote /etc/cron.d/toln-e2e-backup","to":")" +
                            json_text(kCron) + R"("}],)"
                            R"("summary":{"changed":4,"ok":0,"failed":0,"skipped":0}})"
                            "\n"));
  const fs::path app = sandbox.scratch_dir() / "app";
  EXPECT_EQ(mode_of(app), 0750u);
  EXPECT_EQ(read_file(app / "config.toml"), kConfig);
  EXPECT_EQ(mode_of(app / "config.toml"), 0640u);
  EXPECT_EQ(read_file(app / "bin/tool"), kTool);
  EXPECT_EQ(mode_of(app / "bin/tool"), 0755u);
  EXPECT_EQ(sandbox.read_upper("/etc/cron.d/toln-e2e-backup"), fill(kCron));
  EXPECT_EQ(mode_of(sandbox.upper_path("/etc/cron.d/toln-e2e-backup")), 0644u);

  const auto times = [&] {
    std::vector<std::pair<ino_t, std::int64_t>> stamps;
    for (const fs::path& path : {app / "config.toml", app / "bin/tool", sandbox.upper_path("/etc/cron.d/toln-e2e-backup")}) {
      const struct stat st = lstat_of(path);
      stamps.emplace_back(st.st_ino, st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec);
    }
    return stamps;
  };
  const auto after_first = times();
  sandbox.clear_invocations();
  const RunResult second = sandbox.run_agent({}, bundle());
  EXPECT_EQ(second.exit_status, 1) << second.err;
  EXPECT_EQ(second.out, R"({"host":"h","resources":[)"
                        R"({"type":"directory","name":"app","status":"ok"},)"
                        R"({"type":"download","name":"tool","status":"ok"},)"
                        R"({"type":"file","name":"config","status":"ok"},)"
                        R"({"type":"cron","name":"toln-e2e-backup","status":"ok"}],)"
                        R"("summary":{"changed":0,"ok":4,"failed":0,"skipped":0}})"
                        "\n");
  EXPECT_EQ(times(), after_first) << "nothing rewritten";
  EXPECT_TRUE(sandbox.invocations().empty()) << "no write, so no restorecon";
  EXPECT_EQ(server->requests(), std::vector<std::string>{"GET /tool"});
}

TEST_F(FileResourcesEndToEnd, ErrorsAreReportedPerResource) {
  write_file(sandbox.scratch_dir() / "occupied", "a file");
  const RunResult run = sandbox.run_agent({}, fill(R"(host = "h"
[[resources]]
resource_type = "file"
name = "bad-mode"
props = { path = "{S}/f", content = "x", mode = "0o644" }

[[resources]]
resource_type = "directory"
name = "occupied"
props = { path = "{S}/occupied" }

[[resources]]
resource_type = "download"
name = "missing"
props = { url = "{U}status/404", dest = "{S}/dl" }

[[resources]]
resource_type = "cron"
name = "toln-e2e-bad"
props = { user = "root", schedule = "*/60 * * * *", command = "true" }

[[resources]]
resource_type = "file"
name = "after-bad"
after = ["file.bad-mode"]
props = { path = "{S}/g", content = "x" }
)"));
  EXPECT_EQ(run.exit_status, 3) << run.err;  // failures only
  const std::string out = run.out;
  EXPECT_NE(out.find(R"({"type":"file","name":"bad-mode","status":"failed","error":"resource error: invalid mode: 0o644"})"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(fill(R"({"type":"directory","name":"occupied","status":"failed","error":"resource error: {S}/occupied exists and is not a directory"})")),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(R"({"type":"download","name":"missing","status":"failed","error":"resource error: download failed: )"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(R"({"type":"cron","name":"toln-e2e-bad","status":"failed","error":"resource error: cron schedule field '*/60' value 60 exceeds maximum 59"})"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(R"({"type":"file","name":"after-bad","status":"skipped","error":"dependency failed"})"), std::string::npos)
      << out;
  EXPECT_NE(out.find(R"("summary":{"changed":0,"ok":0,"failed":4,"skipped":1})"), std::string::npos) << out;
  EXPECT_EQ(dir_names(sandbox.scratch_dir()), (std::vector<std::string>{"occupied", "served"}));
  EXPECT_FALSE(sandbox.read_upper("/etc/cron.d/toln-e2e-bad"));
}

}  // namespace
}  // namespace toln
