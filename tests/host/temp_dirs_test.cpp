#include "host/temp_dirs.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

#include "harness/temp_dir.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using testing::dir_names;
using testing::error_of;
using testing::mode_of;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

// Sets TMPDIR for one scope.
class ScopedTmpdir {
 public:
  explicit ScopedTmpdir(const std::string& value) {
    if (const char* old = std::getenv("TMPDIR")) old_ = old;
    ::setenv("TMPDIR", value.c_str(), 1);
  }
  ~ScopedTmpdir() { old_ ? ::setenv("TMPDIR", old_->c_str(), 1) : ::unsetenv("TMPDIR"); }

 private:
  std::optional<std::string> old_;
};

Result<std::string> fill_and_fail(const std::string& prefix, bool fail) {
  auto guard = make_temp_dir(prefix);
  if (!guard) return std::move(guard).error();
  write_file(fs::path(guard->path()) / "sub" / "file", "x");
  if (fail) return AgentError::resource("failed on purpose");
  return guard->path();
}

TEST(MakeTempDir, PrivateDirectoryRemovedOnEveryPathOut) {
  TempDir root("toln-tmproot");
  const ScopedTmpdir tmpdir(root.path());
  const mode_t old_umask = ::umask(022);
  {
    auto guard = make_temp_dir("toln-download");
    ASSERT_TRUE(guard) << error_of(guard);
    const std::string name = fs::path(guard->path()).filename();
    const std::string start = "toln-download-" + std::to_string(::getpid()) + "-";
    EXPECT_EQ(fs::path(guard->path()).parent_path(), root.path());
    EXPECT_EQ(name.rfind(start, 0), 0u) << name;
    EXPECT_TRUE(name.ends_with("-0")) << name;
    EXPECT_EQ(mode_of(guard->path()), 0700u);
    EXPECT_TRUE(fs::is_empty(guard->path()));

    // Links inside are removed as links, never followed.
    write_file(root.path() / "outside" / "keep", "keep");
    fs::create_symlink(root.path() / "outside", fs::path(guard->path()) / "out");
    const TempDirGuard moved = std::move(guard).value();
    EXPECT_TRUE(fs::exists(moved.path()));
  }
  EXPECT_EQ(read_file(root.path() / "outside" / "keep"), "keep");
  EXPECT_EQ(error_of(fill_and_fail("toln-extract", true)), "resource error: failed on purpose");
  auto made = fill_and_fail("toln-extract", false);
  ASSERT_TRUE(made);
  EXPECT_FALSE(fs::exists(*made));
  EXPECT_EQ(dir_names(root.path()), std::vector<std::string>{"outside"});
  ::umask(old_umask);
}

TEST(MakeTempDir, MissingTemporaryRootFailsAtOnce) {
  TempDir root("toln-tmproot");
  const std::string missing = (root.path() / "missing").string();
  // A TMPDIR written with a final slash names the same directory.
  for (const std::string& tmpdir_value : {missing, missing + "/"}) {
    const ScopedTmpdir tmpdir(tmpdir_value);
    const std::string error = error_of(make_temp_dir("toln-extract"));
    const std::string start = "resource error: failed to create temp dir " + missing + "/toln-extract-" +
                              std::to_string(::getpid()) + "-";
    EXPECT_EQ(error.rfind(start, 0), 0u) << error;
    EXPECT_TRUE(error.ends_with("-0: No such file or directory (os error 2)")) << error;
  }
}

}  // namespace
}  // namespace toln
