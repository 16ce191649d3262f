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
#include <iterator>

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

mode_t mode_of(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST_F(ProviderScriptFile, EachScriptLivesInAPrivateDirectoryRemovedWithIt) {
  const fs::path tmp = sandbox.tmp_dir();
  sandbox.run_in_process([&tmp] {
    // The name the script once had in the shared directory is of no concern.
    plant(tmp, 0);
    {
      auto first = write_provider_script("echo 'exact bytes'");
      ASSERT_TRUE(first) << error_of(first);
      auto second = write_provider_script("");
      ASSERT_TRUE(second) << error_of(second);
      const fs::path first_dir = fs::path(first->path()).parent_path();
      const fs::path second_dir = fs::path(second->path()).parent_path();
      for (const fs::path& dir : {first_dir, second_dir}) {
        EXPECT_EQ(dir.parent_path(), tmp);
        EXPECT_TRUE(dir.filename().string().starts_with("toln-provider-")) << dir;
        EXPECT_EQ(dir.filename().string().size(), 20u) << dir;
        EXPECT_EQ(mode_of(dir), 0700u) << dir;
      }
      EXPECT_NE(first_dir, second_dir);
      EXPECT_EQ(fs::path(first->path()).filename(), script_name(0));
      EXPECT_EQ(fs::path(second->path()).filename(), script_name(1)) << "one counter per process";
      EXPECT_EQ(content_of(first->path()), "echo 'exact bytes'");
      EXPECT_EQ(content_of(second->path()), "");
      EXPECT_EQ(mode_of(first->path()), 0600u);
      EXPECT_EQ(std::distance(fs::directory_iterator(first_dir), fs::directory_iterator()), 1);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp), fs::directory_iterator()), 1) << "both directories removed";
    EXPECT_EQ(content_of(tmp / script_name(0)), "planted") << "another's file is left alone";
  });
}

TEST_F(ProviderScriptFile, TmpdirEndingInASlashGivesNoDoubledSlash) {
  const fs::path tmp = sandbox.tmp_dir();
  sandbox.run_in_process([&tmp] {
    ASSERT_EQ(::setenv("TMPDIR", (tmp.string() + "/").c_str(), 1), 0);
    auto script = write_provider_script("x");
    ASSERT_TRUE(script) << error_of(script);
    EXPECT_TRUE(script->path().starts_with(tmp.string() + "/toln-provider-")) << script->path();
  });
}

TEST_F(ProviderScriptFile, ScriptThatCannotBeWrittenIsRemoved) {
  const fs::path tmp = sandbox.tmp_dir();
  sandbox.run_in_process([&tmp] {
    // A file system of one page, private to this copy's mount namespace.
    ASSERT_EQ(::mount("tmpfs", tmp.c_str(), "tmpfs", 0, "size=4k"), 0);
    EXPECT_EQ(error_of(write_provider_script(std::string(1 << 20, '#'))),
              "resource error: failed to write provider script: No space left on device (os error 28)");
    EXPECT_TRUE(fs::is_empty(tmp)) << "the directory goes with the script";

    ASSERT_EQ(::mount(nullptr, tmp.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    EXPECT_EQ(error_of(write_provider_script("x")),
              "resource error: failed to create provider script: Read-only file system (os error 30)");
  });
}

}  // namespace
}  // namespace toln
