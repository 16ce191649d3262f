#include "resources/file.hpp"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include "harness/sandbox.hpp"
#include "host/sha256.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using namespace toln::testing;

ResolvedResource file(TomlTable props) { return make_resource("file", "f", std::move(props)); }

ResourceResult applied(const ResolvedResource& resource, bool dry_run) {
  auto result = apply_file(resource, dry_run);
  EXPECT_TRUE(result) << error_of(result);
  return result ? *result : ResourceResult{};
}

// "ls" and "chown" recorded, to show that neither runs: owners are read and
// changed on descriptors. "restorecon" shows each atomic write.
class FileResource : public ::testing::Test {
 protected:
  void SetUp() override {
    TOLN_REQUIRE_SANDBOX();
    sandbox.add_fake("ls", "exec /usr/bin/ls \"$@\"");
    sandbox.add_fake("chown", R"(case "$1" in no-such-user-x) echo "chown: invalid user" >&2; exit 1;; esac
exec /usr/bin/chown "$@")");
    sandbox.add_fake("restorecon", "exit 0");
  }
  fs::path scratch(const std::string& name) const { return sandbox.scratch_dir() / name; }
  Sandbox sandbox;
};

TEST_F(FileResource, MissingFileIsCreatedWithItsDirectoryAndMode) {
  const fs::path path = scratch("sub/dir/app.conf");
  const auto resource = file({{"path", text(path)}, {"content", text("key = 1\n")}, {"mode", text("0600")}});
  sandbox.run_in_process([&] {
    ::umask(022);
    for (bool dry_run : {true, false}) {
      SCOPED_TRACE(dry_run);
      const ResourceResult result = applied(resource, dry_run);
      EXPECT_EQ(result.status, ResourceStatus::Changed);
      EXPECT_EQ(result.diff, "content");
      ASSERT_EQ(result.changes.size(), 1u);
      EXPECT_EQ(result.changes[0].field, "content");
      EXPECT_EQ(result.changes[0].action, ChangeAction::Create);
      EXPECT_FALSE(result.changes[0].from);
      EXPECT_EQ(result.changes[0].to, content_digest("key = 1\n"));
      EXPECT_EQ(fs::exists(path), !dry_run);
    }
    EXPECT_EQ(read_file(path), "key = 1\n");
    EXPECT_EQ(mode_of(path), 0600u);
    EXPECT_EQ(mode_of(path.parent_path()), 0755u);
    EXPECT_EQ(applied(resource, false).status, ResourceStatus::Ok);
  });
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{{"restorecon", path.string()}}));
}

TEST_F(FileResource, ModeAloneIsSetDirectly) {
  const fs::path path = scratch("same");
  sandbox.run_in_process([&] {
    write_file(path, "same\n", 0644);
    const auto resource = file({{"path", text(path)}, {"content", text("same\n")}, {"mode", text("0600")}});
    const ResourceResult dry = applied(resource, true);
    EXPECT_EQ(dry.diff, "mode 0644 \u2192 0600");
    EXPECT_EQ(mode_of(path), 0644u);
    const ResourceResult real = applied(resource, false);
    EXPECT_EQ(real.diff, "mode 0644 \u2192 0600");
    ASSERT_EQ(real.changes.size(), 1u);
    EXPECT_EQ(real.changes[0].field, "mode");
    EXPECT_EQ(real.changes[0].action, ChangeAction::Update);
    EXPECT_EQ(real.changes[0].from, "0644");
    EXPECT_EQ(real.changes[0].to, "0600");
    EXPECT_EQ(mode_of(path), 0600u);
  });
  EXPECT_TRUE(sandbox.invocations().empty()) << "no write, no listing";
}

TEST_F(FileResource, ContentAndModeTogetherAreOneWrite) {
  const fs::path path = scratch("both");
  sandbox.run_in_process([&] {
    write_file(path, "old\n", 04755);
    const auto resource = file({{"path", text(path)}, {"content", text("new\n")}, {"mode", text("0640")}});
    const ResourceResult result = applied(resource, false);
    EXPECT_EQ(result.diff, "content, mode 4755 \u2192 0640");
    ASSERT_EQ(result.changes.size(), 2u);
    EXPECT_EQ(result.changes[0].action, ChangeAction::Update);
    EXPECT_EQ(result.changes[0].from, content_digest("old\n"));
    EXPECT_EQ(result.changes[0].to, content_digest("new\n"));
    EXPECT_EQ(result.changes[1].from, "4755");
    EXPECT_EQ(result.changes[1].to, "0640");
    EXPECT_EQ(read_file(path), "new\n");
    EXPECT_EQ(mode_of(path), 0640u);
  });
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{{"restorecon", path.string()}}));
}

TEST_F(FileResource, ExistingFileWithoutModeKeepsItsBits) {
  const fs::path path = scratch("keep");
  sandbox.run_in_process([&] {
    write_file(path, "old", 0751);
    EXPECT_EQ(applied(file({{"path", text(path)}, {"content", text("new")}}), false).diff, "content");
    EXPECT_EQ(mode_of(path), 0751u);
  });
}

TEST_F(FileResource, ContentSourcesAndPropertyKinds) {
  const fs::path dir = sandbox.scratch_dir();
  sandbox.run_in_process([&] {
    write_file(dir / "source.txt", "from source\n");
    write_file(dir / "binary-source", "\xff");
    struct Case {
      std::string name;
      TomlTable props;  // path added
      std::string expected_content;
    } cases[] = {
        {"content wins", {{"content", text("given")}, {"source", text(dir / "missing")}}, "given"},
        {"integer content", {{"content", integer(5)}, {"source", text(dir / "source.txt")}}, "from source\n"},
        {"empty content", {{"content", text("")}}, ""},
    };
    for (auto& c : cases) {
      SCOPED_TRACE(c.name);
      const fs::path path = dir / ("out-" + std::to_string(&c - cases));
      c.props["path"] = text(path);
      EXPECT_EQ(applied(file(c.props), false).diff, "content");
      EXPECT_EQ(read_file(path), c.expected_content);
    }
    EXPECT_EQ(error_of(apply_file(file({{"path", text(dir / "x")}, {"source", text(dir / "missing")}}), true)),
              "resource error: failed to read source " + (dir / "missing").string() +
                  ": No such file or directory (os error 2)");
    EXPECT_EQ(error_of(apply_file(file({{"path", text(dir / "x")}, {"source", text(dir / "binary-source")}}), true)),
              "resource error: failed to read source " + (dir / "binary-source").string() +
                  ": stream did not contain valid UTF-8");

    // Nothing to manage on a missing file.
    const auto unmanaged = applied(file({{"path", text(dir / "absent")}, {"mode", text("0600")}, {"owner", text("1")}}), false);
    EXPECT_EQ(unmanaged.status, ResourceStatus::Ok);
    EXPECT_FALSE(fs::exists(dir / "absent"));
    // A mode written as a TOML integer is not managed.
    write_file(dir / "int-mode", "x", 0600);
    EXPECT_EQ(applied(file({{"path", text(dir / "int-mode")}, {"mode", integer(644)}}), false).status, ResourceStatus::Ok);
    EXPECT_EQ(mode_of(dir / "int-mode"), 0600u);
    // File-type bits in the mode never equal the permission bits.
    EXPECT_EQ(applied(file({{"path", text(dir / "int-mode")}, {"mode", text("100600")}}), true).diff,
              "mode 0600 \u2192 100600");
  });
}

TEST_F(FileResource, OwnerComparedWithTheOwnersName) {
  const fs::path path = scratch("owned");
  sandbox.run_in_process([&] {
    write_file(path, "x");
    EXPECT_EQ(applied(file({{"path", text(path)}, {"owner", text("root")}}), false).status, ResourceStatus::Ok);
    const auto dry = applied(file({{"path", text(path)}, {"owner", text("1234")}}), true);
    EXPECT_EQ(dry.diff, "owner root \u2192 1234");
    EXPECT_EQ(lstat_of(path).st_uid, 0u);
    // A numeric id never equals the name the listing shows: changed on
    // every run.
    for (int run = 0; run < 2; ++run) {
      const auto real = applied(file({{"path", text(path)}, {"owner", text("0")}}), false);
      EXPECT_EQ(real.diff, "owner root \u2192 0");
      ASSERT_EQ(real.changes.size(), 1u);
      EXPECT_EQ(real.changes[0].field, "owner");
      EXPECT_EQ(real.changes[0].action, ChangeAction::Update);
      EXPECT_EQ(real.changes[0].from, "root");
      EXPECT_EQ(real.changes[0].to, "0");
    }
    EXPECT_EQ(applied(file({{"path", text(path)}, {"owner", text("1234")}}), false).diff, "owner root \u2192 1234");
    EXPECT_EQ(lstat_of(path).st_uid, 1234u);
    EXPECT_EQ(error_of(apply_file(file({{"path", text(path)}, {"owner", text("no-such-user-x")}}), false)),
              "resource error: chown failed: invalid user: 'no-such-user-x'");
    EXPECT_EQ(lstat_of(path).st_uid, 1234u);
  });
  EXPECT_TRUE(sandbox.invocations().empty()) << "owners are looked up and changed by the agent itself";
}

TEST_F(FileResource, SetIdModeSurvivesTheChangeOfOwner) {
  const fs::path path = scratch("setuid-tool");
  const auto resource =
      file({{"path", text(path)}, {"content", text("#!/bin/sh\n")}, {"mode", text("4755")}, {"owner", text("1234")}});
  sandbox.run_in_process([&] {
    write_file(path, "old", 0755);
    const auto first = applied(resource, false);
    EXPECT_EQ(first.diff, "content, mode 0755 \u2192 4755, owner root \u2192 1234");
    EXPECT_EQ(lstat_of(path).st_uid, 1234u);
    EXPECT_EQ(mode_of(path), 04755u);
    // A user id without a name is listed as the number: nothing is left to change.
    EXPECT_EQ(applied(resource, false).status, ResourceStatus::Ok);
    EXPECT_EQ(mode_of(path), 04755u);
  });
  EXPECT_TRUE(sandbox.invocations_of("chown").empty());
}

TEST_F(FileResource, Errors) {
  const fs::path dir = sandbox.scratch_dir();
  sandbox.run_in_process([&] {
    write_file(dir / "binary", "a\xff");
    write_file(dir / "plain", "plain");
    fs::create_directory(dir / "a-dir");
    fs::create_symlink(dir / "plain", dir / "link");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    struct Case {
      TomlTable props;
      std::string error;
    } cases[] = {
        {{}, "resource error: file resource requires 'path'"},
        {{{"path", integer(5)}}, "resource error: file resource requires 'path'"},
        {{{"path", text(dir / "plain")}, {"content", text("new")}, {"mode", text("0o644")}},
         "resource error: invalid mode: 0o644"},
        {{{"path", text(dir / "binary")}, {"content", text("x")}},
         "resource error: failed to read " + (dir / "binary").string() + ": stream did not contain valid UTF-8"},
        {{{"path", text(dir / "a-dir")}, {"content", text("x")}},
         "resource error: failed to read " + (dir / "a-dir").string() + ": Is a directory (os error 21)"},
        {{{"path", text(dir / "plain/below")}, {"content", text("x")}},
         "resource error: failed to read " + (dir / "plain/below").string() + ": Not a directory (os error 20)"},
        {{{"path", text(dir / "link")}, {"content", text("through the link")}},
         "resource error: failed to write " + (dir / "link").string() +
             ": resource error: refusing to atomically write " + (dir / "link").string() + ": path is a symlink"},
        // Special files fail at once: a FIFO would block, a device never end.
        {{{"path", text(dir / "fifo")}, {"content", text("x")}},
         "resource error: " + (dir / "fifo").string() + " is not a regular file"},
        {{{"path", text(dir / "fifo")}, {"mode", text("0644")}},
         "resource error: " + (dir / "fifo").string() + " is not a regular file"},
        {{{"path", text(dir / "out")}, {"source", text(dir / "fifo")}},
         "resource error: failed to read source " + (dir / "fifo").string() + ": not a regular file"},
        {{{"path", text(dir / "out")}, {"source", text("/dev/zero")}},
         "resource error: failed to read source /dev/zero: not a regular file"},
        // "ls" and "chown" would read it as an option.
        {{{"path", text("-R")}, {"owner", text("root")}},
         "resource error: file resource: 'path' must not begin with '-': -R"},
    };
    for (const auto& c : cases) EXPECT_EQ(error_of(apply_file(file(c.props), false)), c.error);
    EXPECT_EQ(read_file(dir / "binary"), "a\xff");
    EXPECT_EQ(read_file(dir / "plain"), "plain");
    // Through the link the current text is the target's: equal is fine.
    EXPECT_EQ(applied(file({{"path", text(dir / "link")}, {"content", text("plain")}}), false).status,
              ResourceStatus::Ok);
  });
}

TEST_F(FileResource, PathEndingInASlashMakesNoDirectoryOfItsOwn) {
  const fs::path parent = scratch("made");
  const std::string path = (parent / "app").string() + "/";
  sandbox.run_in_process([&] {
    const std::string error = error_of(apply_file(file({{"path", text(path)}, {"content", text("x")}}), false));
    EXPECT_TRUE(error.starts_with("resource error: failed to write " + path + ": resource error: failed to rename "))
        << error;
    EXPECT_TRUE(fs::is_directory(parent));
    EXPECT_TRUE(fs::is_empty(parent)) << "neither a directory \"app\" nor a temporary file is left";
  });
}

TEST_F(FileResource, ParentThatCannotBeMade) {
  const fs::path read_only = scratch("read-only");
  sandbox.run_in_process([&] {
    fs::create_directory(read_only);
    ASSERT_EQ(::mount("tmpfs", read_only.c_str(), "tmpfs", MS_RDONLY, nullptr), 0);
    EXPECT_EQ(error_of(apply_file(file({{"path", text(read_only / "sub/file")}, {"content", text("x")}}), false)),
              "resource error: failed to create dir: Read-only file system (os error 30)");
  });
}

}  // namespace
}  // namespace toln
