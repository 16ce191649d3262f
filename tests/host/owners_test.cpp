#include "host/owners.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "harness/sandbox.hpp"
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

TEST(OwnerSpec, NumericIdsStopBelowTheUnchangedValue) {
  const struct {
    std::string text;
    std::optional<std::uint32_t> id;
  } cases[] = {
      {"0", 0},
      {"+7", 7},
      {"4294967294", 4294967294u},
      {"4294967295", std::nullopt},  // fchown's "leave it as it is"
      {"4294967296", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"++1", std::nullopt},
      {"-1", std::nullopt},
      {"1a", std::nullopt},
      {" 1", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(numeric_id(c.text), c.id) << c.text;
}

// A user database that cannot be read is no unknown user: the names are
// looked up first, so no spec but "+N" ids means anything then.
TEST(OwnerSpec, AnUnreadableUserDatabaseIsALookupFailure) {
  TOLN_REQUIRE_SANDBOX();
  testing::Sandbox sandbox;
  sandbox.write_upper("/etc/nsswitch.conf", "passwd: files\ngroup: files\n");
  // glibc's files service fails on a directory with EISDIR, as another
  // service does with its own error when its server does not answer.
  fs::create_directory(sandbox.upper_path("/etc/passwd"));
  fs::create_directory(sandbox.upper_path("/etc/group"));
  sandbox.run_in_process([] {
    const std::string cause = ": Is a directory (os error 21)";
    const struct {
      std::string spec;
      std::string ids;  // as in TheFormsChownAccepts
    } cases[] = {
        {"root", "resource error: failed to look up user 'root'" + cause},
        {"1234", "resource error: failed to look up user '1234'" + cause},
        {"root:", "resource error: failed to look up user 'root'" + cause},
        {"nobody.nogroup", "resource error: failed to look up user 'nobody.nogroup'" + cause},
        {":root", "resource error: failed to look up group 'root'" + cause},
        {"+0:root", "resource error: failed to look up group 'root'" + cause},
        {"+0:+0", "0:0"},
    };
    for (const auto& c : cases) {
      auto ids = parse_owner_spec(c.spec);
      EXPECT_EQ(ids ? ids_text(*ids) : error_of(ids), c.ids) << c.spec;
      if (!ids) {
        EXPECT_EQ(ids.error().os_errno(), EISDIR) << c.spec;
      }
    }
    EXPECT_EQ(user_name(0), "0");
    EXPECT_EQ(group_name(0), "0");
  });
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
  ASSERT_TRUE(set_owner(tree.get(), {1234, 2345}, true));
  EXPECT_EQ(lstat_of(dir.path() / "tree/users").st_uid, 4321u);
  EXPECT_EQ(lstat_of(dir.path() / "tree/users").st_gid, 2345u);
  for (const char* inside : {"tree", "tree/sub", "tree/sub/file", "tree/sub/link", "tree/up"}) {
    EXPECT_EQ(lstat_of(dir.path() / inside).st_uid, 1234u) << inside;
    EXPECT_EQ(lstat_of(dir.path() / inside).st_gid, 2345u) << inside;
  }
  EXPECT_EQ(lstat_of(dir.path() / "victim").st_uid, 0u);
  EXPECT_EQ(lstat_of(dir.path()).st_uid, 0u);

  ASSERT_TRUE(set_owner(tree.get(), {std::nullopt, 0}, false));
  EXPECT_EQ(lstat_of(dir.path() / "tree").st_uid, 1234u);
  EXPECT_EQ(lstat_of(dir.path() / "tree").st_gid, 0u);
  EXPECT_EQ(lstat_of(dir.path() / "tree/sub").st_gid, 2345u);

  // An O_PATH descriptor allows no fchown.
  const UniqueFd path_only(::open((dir.path() / "tree").c_str(), O_PATH | O_CLOEXEC));
  EXPECT_EQ(error_of(set_owner(path_only.get(), {0, 0}, false)),
            "resource error: chown failed: Bad file descriptor (os error 9)");
}

}  // namespace
}  // namespace toln
