// The provider script file, in process inside the sandbox, whose TMPDIR is a
// private directory. Each test runs in a fresh process (or a forked copy of
// one that never wrote a script), so the counter starts at 0.
#include "resources/provider_script.hpp"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "harness/sandbox.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using testing::Sandbox;

std::string script_name(std::uint64_t n) { return "toln-provider-" + std::to_string(::getpid()) + "-" + std::to_string(n); }

std::string content_of(const fs::path& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

void plant(const fs::path& dir, std::uint64_t n) { std::ofstream(dir / script_name(n)) << "planted"; }

std::string error_of(const Result<ProviderScript>& result) {
  return result ? "" : display_agent_error(result.error());
}

class ProviderScriptFile : public ::testing::Test {
 protected:
  void SetUp() override { TOLN_REQUIRE_SANDBOX(); }
  Sandbox sandbox;
};

TEST_F(ProviderScriptFile, TakenNamesAreSkippedAndFilesRemoved) {
  const fs::path tmp = sandbox.tmp_dir();
  sandbox.run_in_process([&tmp] {
    plant(tmp, 0);
    plant(tmp, 1);
    {
      auto script = write_provider_script("echo 'exact bytes'");
      ASSERT_TRUE(script) << error_of(script);
      EXPECT_EQ(script->path(), (tmp / script_name(2)).string());
      EXPECT_EQ(content_of(script->path()), "echo 'exact bytes'");
      struct stat st {};
      ASSERT_EQ(::stat(script->path().c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0600u);
    }
    EXPECT_FALSE(fs::exists(tmp / script_name(2))) << "removed with its owner";
    EXPECT_EQ(content_of(tmp / script_name(0)), "planted") << "another's file is left alone";

    // Every attempt takes a number, so 64 taken names in a row end the call.
    for (std::uint64_t n = 3; n < 3 + 64; ++n) plant(tmp, n);
    EXPECT_EQ(error_of(write_provider_script("x")),
              "resource error: failed to create a unique provider script temp file");
    auto next = write_provider_script("");
    ASSERT_TRUE(next) << error_of(next);
    EXPECT_EQ(next->path(), (tmp / script_name(67)).string());
    EXPECT_EQ(content_of(next->path()), "");
  });
}

TEST_F(ProviderScriptFile, ScriptThatCannotBeWrittenIsRemoved) {
  const fs::path tmp = sandbox.tmp_dir();
  sandbox.run_in_process([&tmp] {
    // A file system of one page, private to this copy's mount namespace.
    ASSERT_EQ(::mount("tmpfs", tmp.c_str(), "tmpfs", 0, "size=4k"), 0);
    EXPECT_EQ(error_of(write_provider_script(std::string(1 << 20, '#'))),
              "resource error: failed to write provider script: No space left on device (os error 28)");
    EXPECT_TRUE(fs::is_empty(tmp));

    ASSERT_EQ(::mount(nullptr, tmp.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    EXPECT_EQ(error_of(write_provider_script("x")),
              "resource error: failed to create provider script: Read-only file system (os error 30)");
  });
}

}  // namespace
}  // namespace toln
