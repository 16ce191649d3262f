#include "host/temp_dirs.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
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
    EXPECT_EQ(fs::path(guard->path()).parent_path(), root.path());
    EXPECT_TRUE(name.starts_with("toln-download-")) << name;
    EXPECT_EQ(name.size(), std::string("toln-download-").size() + 6) << "six unpredictable characters: " << name;
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
    EXPECT_EQ(error_of(make_temp_dir("toln-extract")),
              "resource error: failed to create temp dir " + missing +
                  "/toln-extract-XXXXXX: No such file or directory (os error 2)");
  }
}

// A private directory is handed to other programs by path. Whoever may
// rename entries in TMPDIR, or in a directory above it, could move the
// agent's directory aside and put one of their own there before the program
// looks inside: such a TMPDIR is refused. Needs root for the owners.
TEST(MakeTempDir, RefusesATemporaryRootThatAnotherUserCanRenameIn) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give directories other owners";
  TempDir root("toln-tmproot");
  struct Case {
    std::string name;
    std::string parent_shape;  // "uid:gid:mode" of the directory holding it, "" for the test's own
    std::string shape;         // of TMPDIR itself
    std::string refused;       // "" when allowed; else the directory named and why
  } cases[] = {
      {"root's", "", "0:0:0755", ""},
      {"root's, sticky and open to all", "", "0:0:01777", ""},
      {"root's, writable by root's group", "", "0:0:0775", ""},
      {"root's, open to all", "", "0:0:0777", "T can be written by other users and is not sticky"},
      {"root's, writable by a user's group", "", "0:65534:0775", "T can be written by other users and is not sticky"},
      {"a user's", "", "65534:65534:0755", "T belongs to uid 65534"},
      {"a user's, sticky", "", "65534:65534:01777", "T belongs to uid 65534"},
      {"root's in a user's directory", "65534:65534:0755", "0:0:0755", "P belongs to uid 65534"},
      {"root's in a directory open to all", "0:0:0777", "0:0:0755", "P can be written by other users and is not sticky"},
      {"root's in a sticky directory", "0:0:01777", "0:0:0755", ""},
  };
  const auto shape = [](const fs::path& dir, const std::string& text) {
    unsigned uid = 0, gid = 0, mode = 0;
    ASSERT_EQ(std::sscanf(text.c_str(), "%u:%u:%o", &uid, &gid, &mode), 3) << text;
    ASSERT_EQ(::chown(dir.c_str(), uid, gid), 0);
    ASSERT_EQ(::chmod(dir.c_str(), mode), 0);
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path parent = root.path() / std::to_string(n++);
    const fs::path tmp = parent / "tmp";
    fs::create_directories(tmp);
    if (!c.parent_shape.empty()) {
      ASSERT_NO_FATAL_FAILURE(shape(parent, c.parent_shape));
    }
    ASSERT_NO_FATAL_FAILURE(shape(tmp, c.shape));
    const ScopedTmpdir tmpdir(tmp.string());
    auto made = make_temp_dir("toln-extract");
    if (c.refused.empty()) {
      ASSERT_TRUE(made) << error_of(made);
      EXPECT_EQ(fs::path(made->path()).parent_path(), tmp);
      continue;
    }
    std::string why = c.refused;
    why.replace(0, 1, c.refused[0] == 'T' ? tmp.string() : parent.string());
    EXPECT_EQ(error_of(made), "resource error: refusing to make private directories in " + tmp.string() + ": " + why);
    EXPECT_TRUE(fs::is_empty(tmp));
  }
}

// Through a link, the directory is made where the link leads, by the path
// that has no link in it: nobody can point the link elsewhere meanwhile.
TEST(MakeTempDir, MakesItsDirectoryByThePathWithoutLinks) {
  TempDir root("toln-tmproot");
  fs::create_directory(root.path() / "real");
  fs::create_directory_symlink("real", root.path() / "link");
  const ScopedTmpdir tmpdir((root.path() / "link/").string());
  auto made = make_temp_dir("toln-extract");
  ASSERT_TRUE(made) << error_of(made);
  EXPECT_EQ(fs::path(made->path()).parent_path(), root.path() / "real");
}

}  // namespace
}  // namespace toln
