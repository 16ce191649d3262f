#include "resources/directory.hpp"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include "harness/sandbox.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using namespace toln::testing;

ResolvedResource directory(TomlTable props) { return make_resource("directory", "d", std::move(props)); }

ResourceResult applied(const ResolvedResource& resource, bool dry_run) {
  auto result = apply_directory(resource, dry_run);
  EXPECT_TRUE(result) << error_of(result);
  return result ? *result : ResourceResult{};
}

class DirectoryResource : public ::testing::Test {
 protected:
  void SetUp() override {
    TOLN_REQUIRE_SANDBOX();
    sandbox.add_fake("ls", "exec /usr/bin/ls \"$@\"");
    sandbox.add_fake("chown", R"(case "$1" in bad) echo "chown: invalid user: 'bad'" >&2; exit 1;; esac
exec /usr/bin/chown "$@")");
  }
  fs::path scratch(const std::string& name) const { return sandbox.scratch_dir() / name; }
  Sandbox sandbox;
};

TEST_F(DirectoryResource, MissingDirectoryInDryRunOnlyReportsTheCreation) {
  const fs::path path = scratch("new/dir");
  sandbox.run_in_process([&] {
    const auto result = applied(
        directory({{"path", text(path)}, {"mode", text("0700")}, {"owner", text("bin")}, {"group", text("bin")}}), true);
    EXPECT_EQ(result.status, ResourceStatus::Changed);
    EXPECT_EQ(result.diff, "create " + path.string());
    ASSERT_EQ(result.changes.size(), 1u);
    EXPECT_EQ(result.changes[0].field, "directory");
    EXPECT_EQ(result.changes[0].action, ChangeAction::Create);
    EXPECT_FALSE(result.changes[0].from);
    EXPECT_EQ(result.changes[0].to, path.string());
    EXPECT_FALSE(fs::exists(path));
  });
  EXPECT_TRUE(sandbox.invocations().empty());
}

TEST_F(DirectoryResource, CreatesWithParentsThenSetsTheMode) {
  const fs::path path = scratch("new/dir");
  sandbox.run_in_process([&] {
    ::umask(022);
    const auto resource = directory({{"path", text(path)}, {"mode", text("0700")}});
    const auto result = applied(resource, false);
    EXPECT_EQ(result.diff, "create " + path.string() + ", mode 0755 \u2192 0700");
    ASSERT_EQ(result.changes.size(), 2u);
    EXPECT_EQ(result.changes[1].field, "mode");
    EXPECT_EQ(result.changes[1].action, ChangeAction::Update);
    EXPECT_EQ(result.changes[1].from, "0755");
    EXPECT_EQ(result.changes[1].to, "0700");
    EXPECT_EQ(mode_of(path), 0700u);
    EXPECT_EQ(mode_of(path.parent_path()), 0755u);
    const auto again = applied(resource, false);
    EXPECT_EQ(again.status, ResourceStatus::Ok);
    EXPECT_TRUE(again.changes.empty());
    // A misspelt state means present.
    EXPECT_EQ(applied(directory({{"path", text(path)}, {"state", text("Absent")}}), false).status, ResourceStatus::Ok);
  });
}

TEST_F(DirectoryResource, AbsentRemovesTheTreeButNeverFollowsLinks) {
  const fs::path dir = sandbox.scratch_dir();
  sandbox.run_in_process([&] {
    write_file(dir / "tree/a/b", "x");
    write_file(dir / "kept/file", "kept");
    fs::create_symlink(dir / "kept", dir / "tree/link-out");
    fs::create_symlink(dir / "kept", dir / "link");
    const auto absent = [&](const fs::path& path) { return directory({{"path", text(path)}, {"state", text("absent")}}); };

    const auto missing = applied(absent(dir / "missing"), false);
    EXPECT_EQ(missing.status, ResourceStatus::Ok);
    EXPECT_TRUE(missing.changes.empty());

    const auto dry = applied(absent(dir / "tree"), true);
    EXPECT_EQ(dry.diff, "would remove " + (dir / "tree").string());
    ASSERT_EQ(dry.changes.size(), 1u);
    EXPECT_EQ(dry.changes[0].field, "directory");
    EXPECT_EQ(dry.changes[0].action, ChangeAction::Delete);
    EXPECT_EQ(dry.changes[0].from, (dir / "tree").string());
    EXPECT_FALSE(dry.changes[0].to);
    EXPECT_TRUE(fs::exists(dir / "tree/a/b"));

    const auto real = applied(absent(dir / "tree"), false);
    EXPECT_EQ(real.diff, "removed " + (dir / "tree").string());
    EXPECT_EQ(real.changes.size(), 1u);
    EXPECT_FALSE(fs::exists(dir / "tree"));
    EXPECT_EQ(applied(absent(dir / "link"), false).diff, "removed " + (dir / "link").string());
    EXPECT_FALSE(fs::is_symlink(dir / "link"));
    EXPECT_EQ(read_file(dir / "kept/file"), "kept");

    write_file(dir / "regular", "x");
    EXPECT_EQ(error_of(apply_directory(absent(dir / "regular"), false)),
              "resource error: failed to remove " + (dir / "regular").string() + ": Not a directory (os error 20)");
    EXPECT_EQ(read_file(dir / "regular"), "x");
  });
}

TEST_F(DirectoryResource, OwnerAndGroupByIdOrByName) {
  const fs::path path = scratch("owned");
  struct Case {
    TomlTable props;  // path added
    std::optional<std::string> ownership;  // the chown owner text when it fires
    uid_t uid;                             // the owners afterwards
    gid_t gid;
    uid_t inside_uid;                      // of a file inside
  } cases[] = {
      {{{"owner", text("0")}, {"group", text("+0")}}, std::nullopt, 0, 0, 0},
      {{{"owner", text("root")}}, std::nullopt, 0, 0, 0},
      {{{"owner", text("root")}, {"group", text("root")}}, std::nullopt, 0, 0, 0},
      {{{"group", text("1234")}}, ":1234", 0, 1234, 0},
      {{{"owner", text("root")}, {"group", text("2345")}}, "root:2345", 0, 2345, 0},
      {{{"owner", text("1234")}, {"recurse", boolean(true)}}, "1234", 1234, 0, 1234},
      {{{"owner", text("1234")}, {"recurse", text("true")}}, "1234", 1234, 0, 0},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.ownership.value_or("none"));
    c.props["path"] = text(path);
    sandbox.run_in_process([&] {
      write_file(path / "inside", "x");
      ASSERT_EQ(::chown(path.c_str(), 0, 0), 0);
      ASSERT_EQ(::chown((path / "inside").c_str(), 0, 0), 0);
      const auto result = applied(directory(c.props), false);
      EXPECT_EQ(lstat_of(path).st_uid, c.uid);
      EXPECT_EQ(lstat_of(path).st_gid, c.gid);
      EXPECT_EQ(lstat_of(path / "inside").st_uid, c.inside_uid);
      if (!c.ownership) {
        EXPECT_EQ(result.status, ResourceStatus::Ok);
        return;
      }
      EXPECT_EQ(result.diff, "owner/group -> " + *c.ownership);
      ASSERT_EQ(result.changes.size(), 1u);
      EXPECT_EQ(result.changes[0].field, "owner_group");
      EXPECT_EQ(result.changes[0].action, ChangeAction::Update);
      EXPECT_FALSE(result.changes[0].from);
      EXPECT_EQ(result.changes[0].to, *c.ownership);
    });
  }
  EXPECT_TRUE(sandbox.invocations().empty()) << "owners are looked up and changed by the agent itself";
}

TEST_F(DirectoryResource, Errors) {
  const fs::path dir = sandbox.scratch_dir();
  sandbox.run_in_process([&] {
    write_file(dir / "regular", "x");
    fs::create_directory(dir / "read-only");
    ASSERT_EQ(::mount("tmpfs", (dir / "read-only").c_str(), "tmpfs", MS_RDONLY, nullptr), 0);
    struct Case {
      TomlTable props;
      bool dry_run;
      std::string error;
    } cases[] = {
        {{{"state", text("absent")}}, false, "resource error: directory resource requires 'path'"},
        {{{"path", text(dir / "regular")}}, true,
         "resource error: " + (dir / "regular").string() + " exists and is not a directory"},
        {{{"path", text(dir / "regular")}, {"mode", text("0755")}}, false,
         "resource error: " + (dir / "regular").string() + " exists and is not a directory"},
        {{{"path", text(dir / "read-only/sub")}}, false,
         "resource error: failed to create " + (dir / "read-only/sub").string() +
             ": Read-only file system (os error 30)"},
        {{{"path", text(dir / "created")}, {"mode", text("rwx")}}, false, "resource error: invalid mode: rwx"},
        {{{"path", text(dir / "created")}, {"owner", text("bad")}}, false,
         "resource error: chown failed: invalid user: 'bad'"},
        // Cut at the NUL, these would name nobody and nogroup.
        {{{"path", text(dir / "created")}, {"owner", text(std::string("nobody\0tail", 11))}}, false,
         R"(resource error: chown failed: invalid user: "nobody\0tail")"},
        {{{"path", text(dir / "created")}, {"group", text(std::string("nogroup\0tail", 12))}}, false,
         R"(resource error: chown failed: invalid group: "nogroup\0tail")"},
        // "f/" names no directory, and f is there.
        {{{"path", text(dir.string() + "/regular/")}, {"mode", text("0700")}}, false,
         "resource error: " + dir.string() + "/regular/ exists and is not a directory"},
        {{{"path", text(dir.string() + "/regular/")}}, true,
         "resource error: " + dir.string() + "/regular/ exists and is not a directory"},
        {{{"path", text("-R")}, {"owner", text("root")}}, false,
         "resource error: directory resource: 'path' must not begin with '-': -R"},
        // Only ever tried in dry-run: the refusal comes before it matters.
        {{{"path", text("/")}, {"state", text("absent")}}, true, "resource error: directory resource: refusing to remove /"},
        {{{"path", text(dir.string() + "/../../../../../../..")}, {"state", text("absent")}}, true,
         "resource error: directory resource: refusing to remove " + dir.string() + "/../../../../../../.."},
    };
    for (const auto& c : cases) EXPECT_EQ(error_of(apply_directory(directory(c.props), c.dry_run)), c.error);
    EXPECT_TRUE(fs::is_directory(dir / "created")) << "made before the mode was found invalid";
    EXPECT_EQ(read_file(dir / "regular"), "x");
    EXPECT_EQ(mode_of(dir / "regular"), 0644u);
    EXPECT_EQ(lstat_of(dir / "created").st_uid, 0u);
    EXPECT_EQ(lstat_of(dir / "created").st_gid, 0u);
  });
}

// A trailing slash names a directory: on a real one it converges as
// without the slash; on a file there is no directory to remove, and the
// file stays.
TEST_F(DirectoryResource, TrailingSlashNamesADirectory) {
  const fs::path dir = sandbox.scratch_dir();
  sandbox.run_in_process([&] {
    fs::create_directory(dir / "real");
    ::chmod((dir / "real").c_str(), 0755);
    write_file(dir / "regular", "x");
    const auto slashed = [&](const char* name, TomlTable props) {
      props["path"] = text(dir.string() + "/" + name);
      return directory(std::move(props));
    };
    const auto first = applied(slashed("real/", {{"mode", text("0750")}}), false);
    EXPECT_EQ(first.diff, "mode 0755 \u2192 0750");
    EXPECT_EQ(applied(slashed("real//", {{"mode", text("0750")}}), false).status, ResourceStatus::Ok);
    EXPECT_EQ(mode_of(dir / "real"), 0750u);
    const auto absent = applied(slashed("regular/", {{"state", text("absent")}}), false);
    EXPECT_EQ(absent.status, ResourceStatus::Ok);
    EXPECT_TRUE(absent.changes.empty());
    EXPECT_EQ(read_file(dir / "regular"), "x");
  });
}

// A recursive change never traverses a link at the path, as "chown -R"
// does not: the link's own owner changes. Without recurse the link is
// followed, as any root-owned link is.
TEST_F(DirectoryResource, RecursiveChangeTakesALinkAtThePathAsTheLink) {
  const fs::path dir = sandbox.scratch_dir();
  struct Case {
    const char* name;
    uid_t target_owner;  // of the linked directory and the file inside
    bool recurse;
    std::vector<ResourceStatus> runs;  // Failed: refused as a user's link to another's directory
    uid_t link_after;
    uid_t target_after;
    uid_t inside_after;
  } cases[] = {
      // A checkout's "storage -> /etc".
      {"root's target", 0, true, {ResourceStatus::Changed, ResourceStatus::Failed}, 1234, 0, 0},
      // A checkout's "storage -> /srv/shared/storage", already the app's.
      {"the owner's target", 1234, true, {ResourceStatus::Changed, ResourceStatus::Ok}, 1234, 1234, 1234},
      {"without recurse", 0, false, {ResourceStatus::Changed, ResourceStatus::Ok}, 0, 1234, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox.run_in_process([&] {
      write_file(dir / "target/inside", "x");
      ASSERT_EQ(::chown((dir / "target").c_str(), c.target_owner, 0), 0);
      ASSERT_EQ(::chown((dir / "target/inside").c_str(), c.target_owner, 0), 0);
      fs::create_symlink(dir / "target", dir / "storage");
      for (const std::string& path : {(dir / "storage").string(), dir.string() + "/storage/"}) {
        SCOPED_TRACE(path);
        ASSERT_EQ(::lchown((dir / "storage").c_str(), 0, 0), 0);
        const auto resource = directory({{"path", text(path)}, {"owner", text("1234")}, {"recurse", boolean(c.recurse)}});
        for (const ResourceStatus status : c.runs) {
          auto result = apply_directory(resource, false);
          if (status == ResourceStatus::Failed) {
            EXPECT_EQ(error_of(result), "resource error: refusing to follow symbolic link " + path.substr(0, path.find("storage") + 7) +
                                            " in " + path + ": it is owned by uid 1234 but leads to a file owned by uid 0");
            continue;
          }
          ASSERT_TRUE(result) << error_of(result);
          EXPECT_EQ(result->status, status);
        }
        EXPECT_EQ(lstat_of(dir / "storage").st_uid, c.link_after);
        EXPECT_EQ(lstat_of(dir / "target").st_uid, c.target_after);
        EXPECT_EQ(lstat_of(dir / "target/inside").st_uid, c.inside_after);
        ASSERT_EQ(::chown((dir / "target").c_str(), c.target_owner, 0), 0);
      }
      fs::remove_all(dir / "target");
      fs::remove(dir / "storage");
    });
  }
  // A user's own link keeps its owner: refused rather than reported changed
  // on every run.
  sandbox.run_in_process([&] {
    write_file(dir / "target/inside", "x");
    ASSERT_EQ(::chown((dir / "target").c_str(), 65534, 0), 0);
    fs::create_symlink(dir / "target", dir / "storage");
    ASSERT_EQ(::lchown((dir / "storage").c_str(), 65534, 65534), 0);
    for (const bool dry_run : {true, false}) {
      EXPECT_EQ(error_of(apply_directory(
                    directory({{"path", text(dir / "storage")}, {"owner", text("1234")}, {"recurse", boolean(true)}}),
                    dry_run)),
                "resource error: refusing to give symbolic link " + (dir / "storage").string() + " of uid 65534 to 1234");
    }
    EXPECT_EQ(lstat_of(dir / "storage").st_uid, 65534u);
    EXPECT_EQ(lstat_of(dir / "target").st_uid, 65534u);
  });
}

// Where anyone may make a name (a sticky directory others can write, such
// as /tmp), a directory another user made first is theirs, with whatever
// links they put in it: it is refused, not adopted. Elsewhere, and when the
// bundle gives it to that very user, it is kept.
TEST_F(DirectoryResource, AnotherUsersDirectoryInAStickyDirectoryIsRefused) {
  const fs::path dir = sandbox.scratch_dir();
  struct Case {
    const char* name;
    mode_t parent_mode;
    uid_t parent_owner;
    uid_t owner;
    std::optional<std::string> wanted_owner;
    bool refused;
  } cases[] = {
      {"a user's, in /tmp", 01777, 0, 65534, "root", true},
      {"a user's, no owner wanted", 01777, 0, 65534, std::nullopt, true},
      {"a user's, given to another user", 01777, 0, 65534, "1234", true},
      {"a user's, given to that user", 01777, 0, 65534, "nobody", false},
      {"a user's, given to that user by id", 01777, 0, 65534, "65534", false},
      {"root's, in /tmp", 01777, 0, 0, "root", false},
      {"the sticky directory owner's", 01777, 4321, 4321, "root", false},
      {"a user's, in a directory others may write but not sticky", 0777, 0, 65534, "root", false},
      {"a user's, in a sticky directory only its owner writes", 01755, 4321, 65534, "root", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox.run_in_process([&] {
      const fs::path shared = dir / "shared";
      const fs::path nightly = shared / "nightly";
      fs::create_directories(nightly);
      ASSERT_EQ(::chown(shared.c_str(), c.parent_owner, 0), 0);
      ASSERT_EQ(::chmod(shared.c_str(), c.parent_mode), 0);
      ASSERT_EQ(::chown(nightly.c_str(), c.owner, c.owner), 0);
      ASSERT_EQ(::chmod(nightly.c_str(), 0755), 0);
      TomlTable props{{"path", text(nightly)}, {"mode", text("0700")}};
      if (c.wanted_owner) props["owner"] = text(*c.wanted_owner);
      for (const bool dry_run : {true, false}) {
        auto result = apply_directory(directory(props), dry_run);
        if (c.refused) {
          EXPECT_EQ(error_of(result), "resource error: refusing to adopt " + nightly.string() +
                                          ": it exists and belongs to uid 65534");
        } else {
          EXPECT_TRUE(result) << error_of(result);
        }
      }
      EXPECT_EQ(mode_of(nightly), c.refused ? 0755u : 0700u);
      if (c.refused) {
        EXPECT_EQ(lstat_of(nightly).st_uid, c.owner);
      }
      fs::remove_all(shared);
    });
  }
  // One the agent made itself and gave to a user converges.
  sandbox.run_in_process([&] {
    const fs::path shared = dir / "tmp";
    fs::create_directory(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    const auto resource = directory({{"path", text(shared / "cache")}, {"owner", text("nobody")}, {"mode", text("0700")}});
    EXPECT_EQ(applied(resource, false).status, ResourceStatus::Changed);
    EXPECT_EQ(applied(resource, false).status, ResourceStatus::Ok);
    EXPECT_EQ(lstat_of(shared / "cache").st_uid, 65534u);
  });
}

}  // namespace
}  // namespace toln
