#include "host/atomic_write.hpp"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "harness/sandbox.hpp"
#include "host/pending_file.hpp"
#include "support/resource_testing.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using testing::dir_names;
using testing::error_of;
using testing::Invocation;
using testing::lstat_of;
using testing::mode_of;
using testing::read_file;
using testing::Sandbox;
using testing::write_file;

constexpr uid_t kOtherUid = 1234;
constexpr gid_t kOtherGid = 2345;

// The temporary name an agent of this process id once gave every write of
// the target, without the random part names carry now.
std::string old_temp_name(const fs::path& target) {
  return (target.parent_path() / ("." + target.filename().string() + ".toln-tmp." + std::to_string(::getpid())))
      .string();
}

// The text with the random part of every temporary name (16 hexadecimal
// digits after ".toln-tmp.{pid}.") shown as "R".
std::string without_random(std::string text) {
  const std::string marker = ".toln-tmp.";
  for (std::size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
    const std::size_t dot = text.find_first_not_of("0123456789", at + marker.size());
    if (dot == std::string::npos || text[dot] != '.' || text.size() < dot + 17) continue;
    const std::string random = text.substr(dot + 1, 16);
    if (random.find_first_not_of("0123456789abcdef") == std::string::npos) text.replace(dot + 1, 16, "R");
  }
  return text;
}

// Keeps every capability of root but the one that changes owners.
void drop_chown_capability() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  ASSERT_EQ(::syscall(SYS_capget, &header, data), 0);
  data[CAP_CHOWN / 32].effective &= ~(1u << (CAP_CHOWN % 32));
  ASSERT_EQ(::syscall(SYS_capset, &header, data), 0);
}

// atomic_write_at on the entry the path names, as the file resource hands
// it down.
Result<UniqueFd> write_at(const fs::path& target, std::string_view data, std::optional<std::uint32_t> mode,
                          const std::optional<OwnerIds>& owner) {
  auto entry = resolve_path(target.string(), LastLink::Keep);
  if (!entry) return std::move(entry).error();
  return atomic_write_at(*entry, target.string(), data, mode, owner);
}

class AtomicWrite : public ::testing::Test {
 protected:
  void SetUp() override {
    TOLN_REQUIRE_SANDBOX();
    sandbox.add_fake("restorecon", "exit 0");
  }
  Sandbox sandbox;
};

TEST_F(AtomicWrite, NewFileGets0644AndRestoreconRuns) {
  const fs::path target = sandbox.scratch_dir() / "new.conf";
  sandbox.run_in_process([&] {
    ::umask(077);  // the mode is set, not left to the umask
    ASSERT_TRUE(atomic_write(target, "hello\n", std::nullopt));
    EXPECT_EQ(read_file(target), "hello\n");
    EXPECT_EQ(mode_of(target), 0644u);
    EXPECT_EQ(lstat_of(target).st_uid, ::getuid());
    EXPECT_EQ(dir_names(target.parent_path()), std::vector<std::string>{"new.conf"});
  });
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{{"restorecon", target.string()}}));
}

TEST_F(AtomicWrite, KeepsOwnerGroupAndModeOfAnExistingFile) {
  const fs::path dir = sandbox.scratch_dir();
  sandbox.run_in_process([&] {
    struct Case {
      std::string name;
      mode_t existing_mode;
      std::optional<std::uint32_t> given;
      mode_t expected;
    } cases[] = {
        {"secret", 0600, std::nullopt, 0600},
        {"given", 0600, 0640, 0640},
        // chown clears set-user-id: the owner must be given first.
        {"setuid", 04755, std::nullopt, 04755},
        {"setgid-given", 0644, 02750, 02750},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      const fs::path target = dir / c.name;
      write_file(target, "old", c.existing_mode);
      ASSERT_EQ(::chown(target.c_str(), kOtherUid, kOtherGid), 0);
      ASSERT_EQ(::chmod(target.c_str(), c.existing_mode), 0);
      ASSERT_TRUE(atomic_write(target, "new", c.given));
      EXPECT_EQ(read_file(target), "new");
      EXPECT_EQ(mode_of(target), c.expected);
      EXPECT_EQ(lstat_of(target).st_uid, kOtherUid);
      EXPECT_EQ(lstat_of(target).st_gid, kOtherGid);
    }
  });
}

// A wanted owner is the new file's before it has a name; an id it leaves
// out is the existing file's (the agent's for a new file).
TEST_F(AtomicWrite, WantedOwnerIsGivenBeforeTheMode) {
  const fs::path dir = sandbox.scratch_dir();
  sandbox.run_in_process([&] {
    struct Case {
      std::string name;
      bool exists;
      OwnerIds owner;
      uid_t uid;
      gid_t gid;
    } cases[] = {
        {"user", true, {0, std::nullopt}, 0, kOtherGid},
        {"group", true, {std::nullopt, 0}, kOtherUid, 0},
        {"both", true, {kOtherUid + 1, kOtherGid + 1}, kOtherUid + 1, kOtherGid + 1},
        {"new", false, {kOtherUid, std::nullopt}, kOtherUid, ::getgid()},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      const fs::path target = dir / c.name;
      if (c.exists) {
        write_file(target, "old", 0644);
        ASSERT_EQ(::chown(target.c_str(), kOtherUid, kOtherGid), 0);
      }
      auto written = write_at(target, "new", 04755, c.owner);
      ASSERT_TRUE(written) << error_of(written);
      EXPECT_EQ(read_file(target), "new");
      EXPECT_EQ(mode_of(target), 04755u) << "the set-id bits outlive the change of owner";
      EXPECT_EQ(lstat_of(target).st_uid, c.uid);
      EXPECT_EQ(lstat_of(target).st_gid, c.gid);
    }
    ASSERT_NO_FATAL_FAILURE(drop_chown_capability());
    EXPECT_EQ(error_of(write_at(dir / "user", "newer", std::nullopt, OwnerIds{kOtherUid, std::nullopt})),
              "resource error: set owner on temp: Operation not permitted (os error 1)");
    EXPECT_EQ(read_file(dir / "user"), "new");
    EXPECT_EQ(dir_names(dir), (std::vector<std::string>{"both", "group", "new", "user"}));
  });
}

// Where anyone can make a name (sticky and writable by others, as /tmp),
// another user's entry is bait: replaced as if it were not there, a link
// included. Elsewhere (a cron spool: sticky, not writable by others) a
// user's file keeps its owner, group and mode, as does one that already
// has the wanted owner.
TEST_F(AtomicWrite, BaitWhereAnyoneMakesNamesIsReplacedAsIfAbsent) {
  const fs::path dir = sandbox.scratch_dir();
  sandbox.run_in_process([&] {
    write_file(dir / "real", "real", 0600);
    const struct {
      std::string name;
      mode_t dir_mode;
      bool link;
      uid_t owner;
      std::optional<OwnerIds> wanted;
      uid_t uid;
      gid_t gid;
      mode_t mode;
    } cases[] = {
        {"users-file", 01777, false, kOtherUid, std::nullopt, 0, ::getgid(), 0644},
        {"users-link", 01777, true, kOtherUid, std::nullopt, 0, ::getgid(), 0644},
        {"roots-file", 01777, false, 0, std::nullopt, 0, kOtherGid, 0600},
        {"wanted-owners-file", 01777, false, kOtherUid, OwnerIds{kOtherUid, std::nullopt}, kOtherUid, kOtherGid, 0600},
        {"spool", 01730, false, kOtherUid, std::nullopt, kOtherUid, kOtherGid, 0600},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      const fs::path shared = dir / c.name;
      fs::create_directory(shared);
      ASSERT_EQ(::chmod(shared.c_str(), c.dir_mode), 0);
      const fs::path target = shared / "f";
      if (c.link) {
        fs::create_symlink(dir / "real", target);
      } else {
        write_file(target, "old", 0600);
      }
      ASSERT_EQ(::lchown(target.c_str(), c.owner, kOtherGid), 0);
      auto written = write_at(target, "new", std::nullopt, c.wanted);
      ASSERT_TRUE(written) << error_of(written);
      const struct stat st = lstat_of(target);
      EXPECT_TRUE(S_ISREG(st.st_mode));
      EXPECT_EQ(read_file(target), "new");
      EXPECT_EQ(st.st_uid, c.uid);
      EXPECT_EQ(st.st_gid, c.gid);
      EXPECT_EQ(st.st_mode & 07777, c.mode);
    }
    EXPECT_EQ(read_file(dir / "real"), "real");
  });
}

TEST_F(AtomicWrite, RefusesSymbolicLinksEvenDangling) {
  const fs::path dir = sandbox.scratch_dir();
  sandbox.run_in_process([&] {
    write_file(dir / "real", "real");
    fs::create_symlink(dir / "real", dir / "link");
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    for (const char* name : {"link", "dangling"}) {
      const fs::path link = dir / name;
      EXPECT_EQ(error_of(atomic_write(link, "x", std::nullopt)),
                "resource error: refusing to atomically write " + link.string() + ": path is a symlink");
      EXPECT_TRUE(fs::is_symlink(link));
    }
    EXPECT_EQ(read_file(dir / "real"), "real");
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
    EXPECT_EQ(dir_names(dir), (std::vector<std::string>{"dangling", "link", "real"}));
  });
  EXPECT_TRUE(sandbox.invocations().empty());
}

TEST_F(AtomicWrite, FailuresLeaveTheTargetAndNoTemporaryFile) {
  const fs::path dir = sandbox.scratch_dir();
  sandbox.run_in_process([&] {
    // Whatever holds the name an agent of this very process id once used
    // (a file left by a killed run, a directory someone made first) blocks
    // no write and is left alone.
    const fs::path stale_target = dir / "stale";
    write_file(stale_target, "old");
    fs::create_directories(old_temp_name(stale_target) + "/inside");
    EXPECT_EQ(error_of(atomic_write(stale_target, "new", std::nullopt)), "");
    EXPECT_EQ(read_file(stale_target), "new");
    EXPECT_TRUE(fs::exists(old_temp_name(stale_target) + "/inside"));

    const fs::path missing = dir / "no-such-dir" / "file";
    EXPECT_EQ(without_random(error_of(atomic_write(missing, "x", std::nullopt))),
              "resource error: failed to create temp file " + old_temp_name(missing) +
                  ".R: No such file or directory (os error 2)");

    EXPECT_EQ(error_of(atomic_write("/", "x", std::nullopt)), "resource error: / has no parent directory");

    // A directory at the target: the rename fails and the temporary goes.
    fs::create_directories(dir / "a-directory" / "inside");
    EXPECT_EQ(without_random(error_of(atomic_write(dir / "a-directory", "x", std::nullopt))),
              "resource error: failed to rename " + old_temp_name(dir / "a-directory") + ".R -> " +
                  (dir / "a-directory").string() + ": Is a directory (os error 21)");

    // A full file system: the write fails.
    const fs::path small = dir / "small";
    fs::create_directory(small);
    ASSERT_EQ(::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=16k"), 0);
    write_file(small / "full", "old");
    EXPECT_EQ(error_of(atomic_write(small / "full", std::string(1 << 20, 'x'), std::nullopt)),
              "resource error: write temp: No space left on device (os error 28)");
    EXPECT_EQ(read_file(small / "full"), "old");
    EXPECT_EQ(dir_names(small), std::vector<std::string>{"full"});

    // An owner that may not be kept.
    const fs::path foreign = dir / "foreign";
    write_file(foreign, "old", 0600);
    ASSERT_EQ(::chown(foreign.c_str(), kOtherUid, kOtherGid), 0);
    ASSERT_NO_FATAL_FAILURE(drop_chown_capability());
    EXPECT_EQ(error_of(atomic_write(foreign, "new", std::nullopt)),
              "resource error: preserve owner on temp: Operation not permitted (os error 1)");
    EXPECT_EQ(read_file(foreign), "old");

    EXPECT_EQ(dir_names(dir), (std::vector<std::string>{fs::path(old_temp_name(stale_target)).filename(),
                                                         "a-directory", "foreign", "small", "stale"}));
  });
}

TEST_F(AtomicWrite, BareNameWritesBesideItselfInTheWorkingDirectory) {
  sandbox.run_in_process([&] {
    const std::string temp = ".bare.toln-tmp." + std::to_string(::getpid()) + ".R";
    EXPECT_EQ(without_random(atomic_temp_path("bare")), temp);
    EXPECT_EQ(without_random(atomic_temp_path("./bare")), "./" + temp);
    EXPECT_EQ(without_random(atomic_temp_path("/bare")), "/" + temp);
    EXPECT_EQ(without_random(atomic_temp_path("sub/bare/")), "sub/" + temp);
    ASSERT_TRUE(atomic_write("bare", "x", std::nullopt));
    EXPECT_EQ(read_file("bare"), "x");
    EXPECT_EQ(dir_names("."), std::vector<std::string>{"bare"});
  });
}

TEST_F(AtomicWrite, SucceedsWhenRestoreconFails) {
  const fs::path target = sandbox.scratch_dir() / "f";
  sandbox.add_fake("restorecon", "echo 'no selinux' >&2; exit 1");
  sandbox.run_in_process([&] {
    ASSERT_TRUE(atomic_write(target, "x", std::nullopt));
    EXPECT_EQ(read_file(target), "x");
  });
}

TEST_F(AtomicWrite, NamesNearTheFileNameLimit) {
  const fs::path dir = sandbox.scratch_dir();
  std::string two_byte_name;  // 254 bytes of "é": the cut must not split one
  for (int i = 0; i < 127; ++i) two_byte_name += "\xc3\xa9";
  sandbox.run_in_process([&] {
    for (const std::string& name : {std::string(240, 'a'), std::string(250, 'b'), std::string(255, 'c'), two_byte_name}) {
      SCOPED_TRACE(name.size());
      const std::string temp = temp_file_name(name);
      EXPECT_LE(temp.size(), 255u);
      EXPECT_TRUE(temp.starts_with("." + name.substr(0, 8)));
      EXPECT_TRUE(without_random(temp).ends_with(".toln-tmp." + std::to_string(::getpid()) + ".R")) << temp;
      EXPECT_TRUE(is_valid_utf8(temp));
      ASSERT_TRUE(atomic_write(dir / name, "x", std::nullopt));
      EXPECT_EQ(read_file(dir / name), "x");
    }
    EXPECT_EQ(dir_names(dir).size(), 4u) << "no temporary file left";
    EXPECT_EQ(without_random(temp_file_name("a")), ".a.toln-tmp." + std::to_string(::getpid()) + ".R");
    EXPECT_NE(temp_file_name("a"), temp_file_name("a")) << "a new name every time";
  });
}

}  // namespace
}  // namespace toln
