#include "host/dir_tree.hpp"

#include <gtest/gtest.h>

#include <cerrno>

#include "harness/temp_dir.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using testing::dir_names;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

TEST(RemoveDirAll, RemovesTreesAndLinksButNoFiles) {
  TempDir dir("toln-remove");
  write_file(dir.path() / "tree" / "a" / "b", "x");
  write_file(dir.path() / "target" / "keep", "keep");
  fs::create_symlink(dir.path() / "target", dir.path() / "tree" / "link");
  fs::create_symlink(dir.path() / "target", dir.path() / "link");
  write_file(dir.path() / "file", "x");
  EXPECT_EQ(*remove_dir_all(dir.path() / "tree"), 0);
  EXPECT_EQ(*remove_dir_all(dir.path() / "link"), 0);
  EXPECT_EQ(*remove_dir_all(dir.path() / "file"), ENOTDIR);
  EXPECT_EQ(*remove_dir_all(dir.path() / "missing"), ENOENT);
  EXPECT_EQ(dir_names(dir.path()), (std::vector<std::string>{"file", "target"}));
  EXPECT_EQ(read_file(dir.path() / "target" / "keep"), "keep");
  // A trailing slash still names the link, not its target.
  fs::create_symlink(dir.path() / "target", dir.path() / "slashed");
  EXPECT_EQ(*remove_dir_all(dir.path().string() + "/slashed//"), 0);
  EXPECT_EQ(dir_names(dir.path()), (std::vector<std::string>{"file", "target"}));
  EXPECT_EQ(read_file(dir.path() / "target" / "keep"), "keep");
}

}  // namespace
}  // namespace toln
