#include "host/owners.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "harness/temp_dir.hpp"
#include "host/unique_fd.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using testing::error_of;
using testing::lstat_of;
using testing::write_file;

std::string ids_text(const OwnerIds& ids) {
  return (ids.uid ? std::to_string(*ids.uid) : "-") + ":" + (ids.gid ? std::to_string(*ids.gid) : "-");
}

// Needs "root" and "nobody"/"nogroup" (65534) in the user database and no
// user or group 1234 or 2345.
TEST(OwnerSpec, TheFormsChownAccepts) {
  struct Case {
    std::string spec;
    std::string ids;  // "uid:gid", "-" for unchanged; or the error
  } cases[] = {
      {"root", "0:-"},
      {"0", "0:-"},
      {"+0", "0:-"},
      {"1234", "1234:-"},
      {"root:", "0:0"},
      {"nobody:", "65534:65534"},
      {"1234:", "1234:-"},
      {":root", "-:0"},
      {"root:2345", "0:2345"},
      {"1234:2345", "1234:2345"},
      {"nobody.nogroup", "65534:65534"},
      {"", "-:-"},
      {"no-such-user-x", "resource error: invalid user: 'no-such-user-x'"},
      {"4294967295", "resource error: invalid user: '4294967295'"},
      {"root:no-such-group-x", "resource error: invalid group: 'no-such-group-x'"},
      // Looked up as C strings, these would be nobody and nogroup.
      {std::string("nobody\0tail", 11), R"(resource error: invalid user: "nobody\0tail")"},
      {std::string("nobody\0tail:", 12), R"(resource error: invalid user: "nobody\0tail")"},
      {std::string("nobody.nogroup\0", 15), R"(resource error: invalid group: "nogroup\0")"},
      {std::string(":nogroup\0tail", 13), R"(resource error: invalid group: "nogroup\0tail")"},
      {std::string("root:nogroup\0", 13), R"(resource error: invalid group: "nogroup\0")"},
      {std::string("0\0", 2), R"(resource error: invalid user: "0\0")"},
  };
  for (const auto& c : cases) {
    auto ids = parse_owner_spec(c.spec);
    EXPECT_EQ(ids ? ids_text(*ids) : error_of(ids), c.ids) << c.spec;
  }
  EXPECT_EQ(user_name(0), "root");
  EXPECT_EQ(user_name(1234), "1234");
  EXPECT_EQ(group_name(65534), "nogroup");
  EXPECT_EQ(group_name(2345), "2345");
}

TEST(ChangeOwner, RecursesOnDescriptorsWithoutFollowingLinks) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files other owners";
  testing::TempDir dir("toln-owners");
  write_file(dir.path() / "victim", "v");
  write_file(dir.path() / "tree/sub/file", "f");
  fs::create_symlink(dir.path() / "victim", dir.path() / "tree/sub/link");
  fs::create_symlink(dir.path(), dir.path() / "tree/up");
  // A user's link: given to another owner it would be trusted anew.
  fs::create_symlink(dir.path() / "victim", dir.path() / "tree/users");
  ASSERT_EQ(::lchown((dir.path() / "tree/users").c_str(), 4321, 4321), 0);
  const UniqueFd tree(::open((dir.path() / "tree").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_EQ(change_owner(tree.get(), {1234, 2345}, true), 0);
  EXPECT_EQ(lstat_of(dir.path() / "tree/users").st_uid, 4321u);
  EXPECT_EQ(lstat_of(dir.path() / "tree/users").st_gid, 2345u);
  for (const char* inside : {"tree", "tree/sub", "tree/sub/file", "tree/sub/link", "tree/up"}) {
    EXPECT_EQ(lstat_of(dir.path() / inside).st_uid, 1234u) << inside;
    EXPECT_EQ(lstat_of(dir.path() / inside).st_gid, 2345u) << inside;
  }
  EXPECT_EQ(lstat_of(dir.path() / "victim").st_uid, 0u);
  EXPECT_EQ(lstat_of(dir.path()).st_uid, 0u);

  ASSERT_EQ(change_owner(tree.get(), {std::nullopt, 0}, false), 0);
  EXPECT_EQ(lstat_of(dir.path() / "tree").st_uid, 1234u);
  EXPECT_EQ(lstat_of(dir.path() / "tree").st_gid, 0u);
  EXPECT_EQ(lstat_of(dir.path() / "tree/sub").st_gid, 2345u);
}

}  // namespace
}  // namespace toln
