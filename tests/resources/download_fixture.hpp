#pragma once
// The download tests: the real curl, tar and unzip (each recorded on its way
// through a fake) against a local HTTP server serving files and archives
// that the test builds. The file tools the resource once started
// (sha256sum, cp, chmod, chown, ls) are recorded too, so a test can show
// that none of them is started.

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "harness/http_server.hpp"
#include "harness/sandbox.hpp"
#include "host/sha256.hpp"
#include "resources/download.hpp"
#include "support/resource_testing.hpp"

namespace toln::testing {

inline ResolvedResource download(TomlTable props) { return make_resource("download", "dl", std::move(props)); }

// The lowercase hexadecimal SHA-256 of a text.
inline std::string sha256_hex(std::string_view data) { return content_digest(data).substr(7); }

inline ResourceResult applied_download(const ResolvedResource& resource, bool dry_run) {
  auto result = apply_download(resource, dry_run);
  EXPECT_TRUE(result) << error_of(result);
  return result ? *result : ResourceResult{};
}

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TOLN_REQUIRE_SANDBOX();
    for (const char* program : {"curl", "sha256sum", "tar", "unzip", "cp", "chmod", "chown", "ls"}) {
      sandbox.add_fake(program, std::string("PATH=/usr/bin:/bin exec ") + program + " \"$@\"");
    }
    std::filesystem::create_directories(served());
    server = std::make_unique<HttpServer>(served());
  }

  std::filesystem::path served() const { return sandbox.scratch_dir() / "served"; }
  std::filesystem::path scratch(const std::string& name) const { return sandbox.scratch_dir() / name; }
  std::string url(const std::string& name) const { return server->url("/" + name); }
  void serve(const std::string& name, std::string_view content) const { write_file(served() / name, content); }

  // Builds served()/name from members given as JSON (see build_archive.py);
  // returns its checksum.
  std::string serve_archive(const std::string& name, const std::string& members_json) const {
    ChildSpec spec;
    spec.program = "/usr/bin/python3";
    spec.argv = {"python3", TOLN_SOURCE_DIR "/tests/resources/build_archive.py", (served() / name).string()};
    spec.env = {"PATH=/usr/bin:/bin"};
    const RunResult built = run_program(spec, members_json);
    EXPECT_EQ(built.exit_status, 0) << built.err;
    return sha256_hex(read_file(served() / name).value_or(""));
  }

  Sandbox sandbox;
  std::unique_ptr<HttpServer> server;
};

}  // namespace toln::testing
