#include "host/safe_path.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "harness/sandbox.hpp"
#include "harness/temp_dir.hpp"
#include "support/refused_system_call.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using testing::error_of;
using testing::lstat_of;
using testing::write_file;

constexpr uid_t kUser = 65534;
constexpr uid_t kOther = 4321;

// A root-owned tree with a directory "u" that belongs to a user, as a home
// or web root does. Needs root for the owners. Every check runs three times
// in a child: with openat2, whose fast path takes every path without links,
// and with openat2 refused as an old kernel (ENOSYS) or a container's
// profile (EPERM) refuses it, where the walk takes every path.
class SafePath : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    TOLN_REQUIRE_SANDBOX();
    fs::create_directories(root() / "etc/cron.d");
    write_file(root() / "etc/shadow", "root:secret\n", 0640);
    fs::create_directories(root() / "u/releases/42");
    write_file(root() / "u/releases/42/app.conf", "app\n");
    write_file(root() / "u/own", "own\n");
    write_file(root() / "u/root-file-in-user-dir", "r\n");
    fs::create_directories(root() / "other");
    write_file(root() / "other/file", "other\n");
    for (const char* owned : {"u", "u/releases", "u/releases/42", "u/releases/42/app.conf", "u/own"}) {
      ASSERT_NO_FATAL_FAILURE(chown_to(root() / owned, kUser));
    }
    ASSERT_NO_FATAL_FAILURE(chown_to(root() / "other", kOther));
    ASSERT_NO_FATAL_FAILURE(chown_to(root() / "other/file", kOther));
  }
  void checks(const std::function<void()>& body) {
    sandbox.run_in_process([&] {
      if (GetParam() != 0) {
        ASSERT_NO_FATAL_FAILURE(testing::refuse_system_call(SYS_openat2, GetParam()));
      }
      body();
    });
  }
  const fs::path& root() const { return dir.path(); }
  std::string at(const std::string& relative) const { return (root() / relative).string(); }
  static void chown_to(const fs::path& path, uid_t uid) { ASSERT_EQ(::lchown(path.c_str(), uid, uid), 0) << path; }
  // A link made by `owner` (chowned afterwards).
  void link(const std::string& relative, const std::string& target, uid_t owner = kUser) const {
    fs::create_symlink(target, root() / relative);
    ASSERT_NO_FATAL_FAILURE(chown_to(root() / relative, owner));
  }
  // make_dirs's error, "" on success.
  static std::string made(const std::string& path) { return error_of(make_dirs(path, "mkdir")); }
  std::string unsafe(const std::string& link, const std::string& path, uid_t link_owner, uid_t object_owner) const {
    return "resource error: refusing to follow symbolic link " + at(link) + " in " + path + ": it is owned by uid " +
           std::to_string(link_owner) + " but leads to a file owned by uid " + std::to_string(object_owner);
  }

  testing::Sandbox sandbox;
  testing::TempDir dir{"toln-safe-path"};
};

INSTANTIATE_TEST_SUITE_P(Openat2, SafePath, ::testing::Values(0, ENOSYS, EPERM), [](const auto& info) {
  return std::string(info.param == 0 ? "Offered" : info.param == ENOSYS ? "Missing" : "Refused");
});

TEST_P(SafePath, WalksPlainPathsAndFollowsSafeLinks) {
  checks([&] {
    ASSERT_NO_FATAL_FAILURE(link("u/current", "releases/42"));
    ASSERT_NO_FATAL_FAILURE(link("u/own-link", at("u/own")));
    ASSERT_NO_FATAL_FAILURE(link("u/up", "../u/own"));
    ASSERT_NO_FATAL_FAILURE(link("root-link", at("etc/shadow"), 0));
    ASSERT_NO_FATAL_FAILURE(link("u/root-link-to-user", "own", 0));
    ASSERT_NO_FATAL_FAILURE(link("root-to-user-link", at("u/own-link"), 0));
    ASSERT_NO_FATAL_FAILURE(link("u/loop-a", "loop-b"));
    ASSERT_NO_FATAL_FAILURE(link("u/loop-b", "loop-a"));
    ASSERT_NO_FATAL_FAILURE(link("u/empty-dir-link", "releases/", kUser));
    ASSERT_NO_FATAL_FAILURE(link("u/dangling-own", "releases/43"));
    struct Case {
      std::string path;
      std::string expected_object;  // "" when missing
      bool is_link;
      int missing_errno;
      bool in_a_directory = true;  // parent and name found
    } cases[] = {
        {at("etc/shadow"), at("etc/shadow"), false, 0},
        {at("etc/shadow/"), "", false, ENOTDIR},
        {at("etc//cron.d/../shadow"), at("etc/shadow"), false, 0},
        {at("u/root-file-in-user-dir"), at("u/root-file-in-user-dir"), false, 0},
        {at("u/current/app.conf"), at("u/releases/42/app.conf"), false, 0},
        {at("u/current"), at("u/releases/42"), true, 0},
        {at("u/current/"), at("u/releases/42"), true, 0},
        {at("u/own-link"), at("u/own"), true, 0},
        {at("u/up"), at("u/own"), true, 0},
        {at("root-link"), at("etc/shadow"), true, 0},
        {at("u/root-link-to-user"), at("u/own"), true, 0},
        {at("root-to-user-link"), at("u/own"), true, 0},
        {at("u/empty-dir-link"), at("u/releases"), true, 0},
        {at("u/dangling-own"), "", true, ENOENT},
        {at("u/missing"), "", false, ENOENT},
        {at("u/missing/below"), "", false, ENOENT, false},
        {at("u/own/below"), "", false, ENOTDIR, false},
        {at("u/loop-a"), "", true, ELOOP, false},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.path);
      auto resolved = resolve_path(c.path, LastLink::Follow);
      ASSERT_TRUE(resolved) << error_of(resolved);
      EXPECT_EQ(resolved->is_link, c.is_link);
      EXPECT_EQ(resolved->missing_errno, c.missing_errno);
      EXPECT_EQ(resolved->parent.valid(), c.in_a_directory);
      if (c.expected_object.empty()) {
        EXPECT_FALSE(resolved->exists());
        continue;
      }
      ASSERT_TRUE(resolved->exists());
      struct stat expected {};
      ASSERT_EQ(::stat(c.expected_object.c_str(), &expected), 0);
      EXPECT_EQ(resolved->st.st_ino, expected.st_ino);
      // The parent and name lead to the same object.
      struct stat by_name {};
      ASSERT_EQ(::fstatat(resolved->parent.get(), resolved->name.c_str(), &by_name, AT_SYMLINK_NOFOLLOW), 0);
      EXPECT_EQ(by_name.st_ino, expected.st_ino);
      EXPECT_EQ(resolved->name, fs::path(c.expected_object).filename().string());
    }
  });
}

// As the kernel has it: a trailing slash, on the path or on the target of
// the link that ends it, names a directory; anything else there is "Not a
// directory", found in its directory under its name. Kept, a link with a
// slash is still the link.
TEST_P(SafePath, TrailingSlashNamesOnlyADirectory) {
  checks([&] {
    ASSERT_NO_FATAL_FAILURE(link("u/own-link", "own"));
    ASSERT_NO_FATAL_FAILURE(link("u/slash-to-file", "own/"));
    ASSERT_NO_FATAL_FAILURE(link("u/slash-to-dir", "releases/"));
    ASSERT_NO_FATAL_FAILURE(link("u/chain-to-slash", "slash-to-file"));
    ASSERT_NO_FATAL_FAILURE(link("u/dangling", "missing"));
    struct Case {
      std::string path;
      LastLink last;
      std::string expected_object;  // "" when missing
      int missing_errno;
      std::string parent;  // of the object, or of where it would be
      std::string name;
    } cases[] = {
        {"u/own/", LastLink::Follow, "", ENOTDIR, "u", "own"},
        {"u/own//", LastLink::Follow, "", ENOTDIR, "u", "own"},
        {"u/own/", LastLink::Keep, "", ENOTDIR, "u", "own"},
        {"etc/shadow/", LastLink::Keep, "", ENOTDIR, "etc", "shadow"},
        {"u/own-link/", LastLink::Follow, "", ENOTDIR, "u", "own"},
        {"u/slash-to-file", LastLink::Follow, "", ENOTDIR, "u", "own"},
        {"u/chain-to-slash", LastLink::Follow, "", ENOTDIR, "u", "own"},
        {"u/dangling/", LastLink::Follow, "", ENOENT, "u", "missing"},
        {"u/releases/", LastLink::Follow, "u/releases", 0, "u", "releases"},
        {"u/slash-to-dir", LastLink::Follow, "u/releases", 0, "u", "releases"},
        {"u/own-link/", LastLink::Keep, "u/own-link", 0, "u", "own-link"},
        {"u/own", LastLink::Follow, "u/own", 0, "u", "own"},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.path + (c.last == LastLink::Keep ? " kept" : " followed"));
      auto resolved = resolve_path(at(c.path), c.last);
      ASSERT_TRUE(resolved) << error_of(resolved);
      EXPECT_EQ(resolved->missing_errno, c.missing_errno);
      EXPECT_EQ(resolved->name, c.name);
      struct stat parent {};
      struct stat expected_parent {};
      ASSERT_TRUE(resolved->parent.valid());
      ASSERT_EQ(::fstat(resolved->parent.get(), &parent), 0);
      ASSERT_EQ(::stat(at(c.parent).c_str(), &expected_parent), 0);
      EXPECT_EQ(parent.st_ino, expected_parent.st_ino);
      ASSERT_EQ(resolved->exists(), !c.expected_object.empty());
      if (resolved->exists()) {
        EXPECT_EQ(resolved->st.st_ino, lstat_of(root() / c.expected_object).st_ino);
      }
    }
    // open_path and make_dirs take the same rule: nothing opened, nothing made.
    for (const char* path : {"u/own/", "u/own-link/", "u/slash-to-file"}) {
      SCOPED_TRACE(path);
      auto opened = open_path(at(path));
      ASSERT_TRUE(opened) << error_of(opened);
      EXPECT_FALSE(opened->exists);
      EXPECT_FALSE(opened->fd.valid());
      EXPECT_EQ(opened->missing_errno, ENOTDIR);
    }
    EXPECT_EQ(made(at("u/own/")), "resource error: mkdir: File exists (os error 17)");
    EXPECT_EQ(made(at("u/own-link/")), "resource error: mkdir: File exists (os error 17)");
    EXPECT_TRUE(fs::is_regular_file(root() / "u/own"));
  });
}

TEST_P(SafePath, MissingLastComponentKeepsItsDirectory) {
  checks([&] {
    auto resolved = resolve_path(at("u/new.conf"), LastLink::Follow);
    ASSERT_TRUE(resolved) << error_of(resolved);
    EXPECT_FALSE(resolved->exists());
    EXPECT_EQ(resolved->name, "new.conf");
    struct stat dir_st {};
    ASSERT_EQ(::fstat(resolved->parent.get(), &dir_st), 0);
    EXPECT_EQ(dir_st.st_uid, kUser);

    for (const std::string& path : {std::string("/"), at("u/..")}) {
      auto top = resolve_path(path, LastLink::Follow);
      ASSERT_TRUE(top) << error_of(top);
      EXPECT_TRUE(top->exists() && S_ISDIR(top->st.st_mode)) << path;
      EXPECT_FALSE(top->parent.valid()) << path;
    }
    EXPECT_EQ(error_of(resolve_path(std::string("a\0b", 3), LastLink::Follow)),
              std::string("resource error: path contains a NUL byte: a\0b", 45));
  });
}

TEST_P(SafePath, RefusesUnsafeTransitions) {
  checks([&] {
    ASSERT_NO_FATAL_FAILURE(link("u/shadow", at("etc/shadow")));
    ASSERT_NO_FATAL_FAILURE(link("u/cron", at("etc/cron.d")));
    ASSERT_NO_FATAL_FAILURE(link("u/relative-escape", "../etc/shadow"));
    ASSERT_NO_FATAL_FAILURE(link("u/to-other", at("other/file")));
    ASSERT_NO_FATAL_FAILURE(link("u/new-in-etc", at("etc/cron.d/new")));
    ASSERT_NO_FATAL_FAILURE(link("u/via-root-link", at("root-link")));
    ASSERT_NO_FATAL_FAILURE(link("root-link", at("etc/shadow"), 0));
    ASSERT_NO_FATAL_FAILURE(link("other/to-user", at("u/own"), kOther));
    ASSERT_NO_FATAL_FAILURE(link("u/chain", at("other/to-user")));  // user -> other's link -> user's file: other's link is unsafe
    struct Case {
      std::string path;
      std::string link;
      uid_t link_owner;
      uid_t object_owner;
    } cases[] = {
        {at("u/shadow"), "u/shadow", kUser, 0},
        {at("u/shadow/"), "u/shadow", kUser, 0},
        {at("u/cron"), "u/cron", kUser, 0},
        {at("u/cron/job"), "u/cron", kUser, 0},
        {at("u/cron/sub/job"), "u/cron", kUser, 0},
        {at("u/relative-escape"), "u/relative-escape", kUser, 0},
        {at("u/to-other"), "u/to-other", kUser, kOther},
        {at("u/new-in-etc"), "u/new-in-etc", kUser, 0},
        {at("u/via-root-link"), "u/via-root-link", kUser, 0},
        {at("u/chain"), "other/to-user", kOther, kUser},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.path);
      for (LastLink last : {LastLink::Follow, LastLink::Keep}) {
        // Kept, a link that the path itself names is not followed at all.
        std::string relative = c.path.substr(root().string().size() + 1);
        while (relative.ends_with('/')) relative.pop_back();
        if (last == LastLink::Keep && relative.find('/', 2) == std::string::npos) continue;
        EXPECT_EQ(error_of(resolve_path(c.path, last)), unsafe(c.link, c.path, c.link_owner, c.object_owner));
      }
    }
  });
}

TEST_P(SafePath, KeptLastLinkIsTheLinkItself) {
  checks([&] {
    ASSERT_NO_FATAL_FAILURE(link("u/shadow", at("etc/shadow")));
    ASSERT_NO_FATAL_FAILURE(link("u/dangling", at("etc/nowhere")));
    for (const std::string name : {"u/shadow", "u/shadow/", "u/shadow//", "u/dangling"}) {
      SCOPED_TRACE(name);
      auto resolved = resolve_path(at(name), LastLink::Keep);
      ASSERT_TRUE(resolved) << error_of(resolved);
      EXPECT_TRUE(resolved->exists());
      EXPECT_TRUE(resolved->is_link);
      EXPECT_TRUE(S_ISLNK(resolved->st.st_mode));
      EXPECT_EQ(resolved->name, name.substr(2, name.find('/', 2) - 2));
    }
    // In place of a directory a link is still followed, and checked.
    EXPECT_NE(error_of(resolve_path(at("u/shadow/."), LastLink::Keep)), "");
  });
}

TEST_P(SafePath, OpensOnlyTheRegularFileThatWasResolved) {
  checks([&] {
    ASSERT_EQ(::mkfifo(at("u/fifo").c_str(), 0666), 0);
    auto fifo = resolve_path(at("u/fifo"), LastLink::Follow);
    ASSERT_TRUE(fifo);
    EXPECT_EQ(error_of(open_resolved(*fifo, "x")), "resource error: x is not a regular file");
    auto device = resolve_path("/dev/zero", LastLink::Follow);
    ASSERT_TRUE(device);
    EXPECT_EQ(error_of(open_resolved(*device, "/dev/zero")), "resource error: /dev/zero is not a regular file");

    auto file = resolve_path(at("u/own"), LastLink::Follow);
    ASSERT_TRUE(file);
    auto opened = open_resolved(*file, "own");
    ASSERT_TRUE(opened) << error_of(opened);
    char byte = 0;
    EXPECT_EQ(::read(opened->get(), &byte, 1), 1);
    auto dir_fd = open_resolved(*resolve_path(at("u"), LastLink::Follow), "u");
    ASSERT_TRUE(dir_fd) << error_of(dir_fd);

    // Swapped after it was checked: refused, not opened.
    fs::rename(root() / "u/own", root() / "u/moved");
    write_file(root() / "u/own", "swapped\n");
    EXPECT_EQ(error_of(open_resolved(*file, "own")), "resource error: own was replaced while it was being checked");
  });
}

TEST_P(SafePath, OpenPathTakesTheSameRuleWithOrWithoutLinks) {
  checks([&] {
    ASSERT_EQ(::mkfifo(at("u/fifo").c_str(), 0666), 0);
    ASSERT_NO_FATAL_FAILURE(link("u/own-link", "own"));
    ASSERT_NO_FATAL_FAILURE(link("u/shadow", at("etc/shadow")));
    ASSERT_NO_FATAL_FAILURE(link("root-link", at("u/fifo"), 0));
    struct Case {
      std::string path;
      bool opened;
      mode_t type;  // 0: missing
    } cases[] = {
        {at("u/own"), true, S_IFREG},         {at("u/own-link"), true, S_IFREG}, {at("u"), true, S_IFDIR},
        {at("u/fifo"), false, S_IFIFO},       {at("root-link"), false, S_IFIFO}, {"/dev/zero", false, S_IFCHR},
        {at("u/missing"), false, 0},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.path);
      auto opened = open_path(c.path);
      ASSERT_TRUE(opened) << error_of(opened);
      EXPECT_EQ(opened->fd.valid(), c.opened);
      EXPECT_EQ(opened->exists, c.type != 0);
      if (c.type != 0) {
        EXPECT_EQ(opened->st.st_mode & S_IFMT, c.type);
      }
    }
    EXPECT_EQ(open_path(at("u/missing"))->missing_errno, ENOENT);
    EXPECT_EQ(error_of(open_path(at("u/shadow"))), unsafe("u/shadow", at("u/shadow"), kUser, 0));
  });
}

// Looked at before it is opened: a FIFO or a device node is never opened
// (which could block, or act on a device), as inotify would tell.
TEST_P(SafePath, OpenPathOpensNeitherAFifoNorADevice) {
  checks([&] {
    ASSERT_EQ(::mkfifo(at("u/fifo").c_str(), 0666), 0);
    ASSERT_EQ(::mknod(at("u/null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0);
    ASSERT_NO_FATAL_FAILURE(link("root-link", at("u/fifo"), 0));
    const UniqueFd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_TRUE(watch.valid());
    const auto opened = [&](const std::string& name) {
      const int watched = ::inotify_add_watch(watch.get(), at(name).c_str(), IN_OPEN);
      EXPECT_GE(watched, 0) << name;
      EXPECT_TRUE(open_path(at(name))) << name;
      alignas(inotify_event) char events[4096];
      const ssize_t got = ::read(watch.get(), events, sizeof events);
      bool seen = false;
      for (ssize_t at = 0; at < got; at += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(events + at)->len) {
        seen = seen || (reinterpret_cast<inotify_event*>(events + at)->mask & IN_OPEN) != 0;
      }
      // Removing the watch queues an event of its own.
      ::inotify_rm_watch(watch.get(), watched);
      return seen;
    };
    EXPECT_FALSE(opened("u/fifo"));
    EXPECT_FALSE(opened("u/null"));
    EXPECT_FALSE(opened("root-link"));
    EXPECT_TRUE(opened("u/own")) << "a regular file is opened";
  });
}

TEST_P(SafePath, MakeDirsCreatesOnlyWhereItIsSafe) {
  checks([&] {
    ASSERT_NO_FATAL_FAILURE(link("u/current", "releases/42"));
    ASSERT_NO_FATAL_FAILURE(link("u/cron", at("etc/cron.d")));
    EXPECT_EQ(made(at("u/current/a/b")), "");
    EXPECT_TRUE(fs::is_directory(root() / "u/releases/42/a/b"));
    EXPECT_EQ(made(at("u/current/a/b/")), "");
    EXPECT_EQ(made(at("u/own/x")), "resource error: mkdir: Not a directory (os error 20)");
    EXPECT_EQ(made(at("u/own")), "resource error: mkdir: File exists (os error 17)");

    EXPECT_EQ(made(at("u/cron/evil")), unsafe("u/cron", at("u/cron/evil"), kUser, 0));
    EXPECT_EQ(made(at("u/cron/evil/deeper")), unsafe("u/cron", at("u/cron/evil/deeper"), kUser, 0));
    EXPECT_TRUE(fs::is_empty(root() / "etc/cron.d"));
  });
}

}  // namespace
}  // namespace toln
