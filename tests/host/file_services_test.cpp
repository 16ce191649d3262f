#include "host/file_services.hpp"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/mount.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "harness/sandbox.hpp"
#include "harness/temp_dir.hpp"
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
using testing::TempDir;
using testing::write_file;

constexpr uid_t kOtherUid = 1234;
constexpr gid_t kOtherGid = 2345;

std::string temp_name(const fs::path& target) {
  return (target.parent_path() / ("." + target.filename().string() + ".toln-tmp." + std::to_string(::getpid())))
      .string();
}

// Keeps every capability of root but the one that changes owners.
void drop_chown_capability() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  ASSERT_EQ(::syscall(SYS_capget, &header, data), 0);
  data[CAP_CHOWN / 32].effective &= ~(1u << (CAP_CHOWN % 32));
  ASSERT_EQ(::syscall(SYS_capset, &header, data), 0);
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
    // A stale temporary file of this very process id, left by a killed
    // agent that had the same id, is replaced; a directory of that name is
    // not.
    const fs::path stale_target = dir / "stale";
    write_file(stale_target, "old");
    write_file(temp_name(stale_target), "left by a killed run");
    EXPECT_EQ(error_of(atomic_write(stale_target, "new", std::nullopt)), "");
    EXPECT_EQ(read_file(stale_target), "new");
    EXPECT_FALSE(fs::exists(temp_name(stale_target)));
    fs::create_directories(temp_name(stale_target) + "/inside");
    EXPECT_EQ(error_of(atomic_write(stale_target, "newer", std::nullopt)),
              "resource error: failed to create temp file " + temp_name(stale_target) +
                  ": File exists (os error 17)");
    EXPECT_EQ(read_file(stale_target), "new");
    EXPECT_TRUE(fs::exists(temp_name(stale_target) + "/inside"));

    const fs::path missing = dir / "no-such-dir" / "file";
    EXPECT_EQ(error_of(atomic_write(missing, "x", std::nullopt)),
              "resource error: failed to create temp file " + temp_name(missing) +
                  ": No such file or directory (os error 2)");

    EXPECT_EQ(error_of(atomic_write("/", "x", std::nullopt)), "resource error: / has no parent directory");

    // A directory at the target: the rename fails and the temporary goes.
    fs::create_directories(dir / "a-directory" / "inside");
    EXPECT_EQ(error_of(atomic_write(dir / "a-directory", "x", std::nullopt)),
              "resource error: failed to rename " + temp_name(dir / "a-directory") + " -> " +
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
    drop_chown_capability();
    EXPECT_EQ(error_of(atomic_write(foreign, "new", std::nullopt)),
              "resource error: preserve owner on temp: Operation not permitted (os error 1)");
    EXPECT_EQ(read_file(foreign), "old");

    EXPECT_EQ(dir_names(dir), (std::vector<std::string>{"." + std::string("stale.toln-tmp.") + std::to_string(::getpid()),
                                                         "a-directory", "foreign", "small", "stale"}));
  });
}

TEST_F(AtomicWrite, BareNameWritesBesideItselfInTheWorkingDirectory) {
  sandbox.run_in_process([&] {
    const std::string temp = ".bare.toln-tmp." + std::to_string(::getpid());
    EXPECT_EQ(atomic_temp_path("bare"), temp);
    EXPECT_EQ(atomic_temp_path("./bare"), "./" + temp);
    EXPECT_EQ(atomic_temp_path("/bare"), "/" + temp);
    EXPECT_EQ(atomic_temp_path("sub/bare/"), "sub/" + temp);
    // A directory of that name is not a stale file of ours: the error names it.
    fs::create_directory(temp);
    EXPECT_EQ(error_of(atomic_write("bare", "x", std::nullopt)),
              "resource error: failed to create temp file " + temp + ": File exists (os error 17)");
    fs::remove(temp);
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
      EXPECT_TRUE(temp.ends_with(".toln-tmp." + std::to_string(::getpid())));
      EXPECT_TRUE(is_valid_utf8(temp));
      ASSERT_TRUE(atomic_write(dir / name, "x", std::nullopt));
      EXPECT_EQ(read_file(dir / name), "x");
    }
    EXPECT_EQ(dir_names(dir).size(), 4u) << "no temporary file left";
    EXPECT_EQ(temp_file_name("a"), ".a.toln-tmp." + std::to_string(::getpid()));
  });
}

TEST(PendingFile, PutsInPlaceOnlyTheFileItWrote) {
  TempDir dir("toln-pending");
  write_file(dir.path() / "victim", "victim", 0600);
  const UniqueFd dir_fd(::open(dir.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  const std::string target = (dir.path() / "target").string();
  const std::string temp = (dir.path() / temp_file_name("target")).string();
  {
    auto file = PendingFile::create(dir_fd.get(), "target", target);
    ASSERT_TRUE(file) << error_of(file);
    EXPECT_EQ(file->temp_path(), temp);
    EXPECT_EQ(mode_of(temp), 0600u);
    ASSERT_EQ(::write(file->fd(), "new", 3), 3);
    ASSERT_TRUE(file->commit());
    EXPECT_EQ(read_file(target), "new");
  }
  EXPECT_EQ(dir_names(dir.path()), (std::vector<std::string>{"target", "victim"}));
  {
    // The directory's owner moves the file away and puts a link in its place.
    auto file = PendingFile::create(dir_fd.get(), "target", target);
    ASSERT_TRUE(file);
    fs::rename(temp, dir.path() / "moved");
    fs::create_symlink(dir.path() / "victim", temp);
    EXPECT_EQ(error_of(file->commit()), "resource error: " + target + " was replaced while it was being written");
  }
  EXPECT_EQ(read_file(dir.path() / "victim"), "victim");
  EXPECT_EQ(mode_of(dir.path() / "victim"), 0600u);
  {
    // Dropped without a commit: its own name goes, another file's stays.
    auto dropped = PendingFile::create(dir_fd.get(), "dropped", target);
    ASSERT_TRUE(dropped);
  }
  {
    auto swapped = PendingFile::create(dir_fd.get(), "swapped", target);
    ASSERT_TRUE(swapped);
    fs::rename(dir.path() / temp_file_name("swapped"), dir.path() / "mine");
    write_file(dir.path() / temp_file_name("swapped"), "someone else's");
  }
  EXPECT_EQ(dir_names(dir.path()),
            (std::vector<std::string>{temp_file_name("swapped"), "mine", "moved", "target", "victim"}));
}

TEST(CommitTempFile, RenamesOverTheTargetOrReportsWhy) {
  TempDir dir("toln-commit");
  const fs::path temp = dir.path() / ".t.tmp";
  const fs::path target = dir.path() / "t";
  write_file(target, "old");
  write_file(temp, "new", 0755);
  ASSERT_TRUE(commit_temp_file(temp, target));
  EXPECT_EQ(read_file(target), "new");
  EXPECT_EQ(mode_of(target), 0755u);
  EXPECT_FALSE(fs::exists(temp));
  EXPECT_EQ(error_of(commit_temp_file(temp, target)),
            "resource error: failed to sync " + temp.string() + ": No such file or directory (os error 2)");
  // Cut at the NUL byte, the target would be "t" itself.
  write_file(temp, "newer");
  const std::string nul_target = target.string() + std::string("\0x", 2);
  EXPECT_EQ(error_of(commit_temp_file(temp, nul_target)), "resource error: path contains a NUL byte: " + nul_target);
  EXPECT_EQ(read_file(target), "new");
}

TEST(TempFileGuard, RemovesTheFileUnlessReleased) {
  TempDir dir("toln-guard");
  const fs::path removed = dir.path() / "removed";
  const fs::path kept = dir.path() / "kept";
  write_file(removed, "x");
  write_file(kept, "x");
  {
    TempFileGuard guard(removed);
    TempFileGuard released(kept);
    released.release();
    TempFileGuard never_made(dir.path() / "never-made");
  }
  EXPECT_EQ(dir_names(dir.path()), std::vector<std::string>{"kept"});
}

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

TEST(ReadFileOpt, MissingTextInvalidAndDirectory) {
  TempDir dir("toln-read");
  write_file(dir.path() / "text", "caf\xc3\xa9\n");
  write_file(dir.path() / "binary", "a\xff");
  auto text = read_file_opt(dir.path() / "text");
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, "caf\xc3\xa9\n");
  auto missing = read_file_opt(dir.path() / "missing");
  ASSERT_TRUE(missing);
  EXPECT_FALSE(*missing);
  EXPECT_EQ(error_of(read_file_opt(dir.path() / "binary")),
            "resource error: failed to read " + (dir.path() / "binary").string() +
                ": stream did not contain valid UTF-8");
  EXPECT_EQ(error_of(read_file_opt(dir.path())),
            "resource error: failed to read " + dir.path().string() + ": Is a directory (os error 21)");
}

TEST(ReadFileOpt, OnlyRegularFilesAreRead) {
  TempDir dir("toln-read");
  ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
  for (const std::string& path : {(dir.path() / "fifo").string(), std::string("/dev/zero")}) {
    EXPECT_EQ(error_of(read_file_opt(path)), "resource error: failed to read " + path + ": not a regular file");
  }
}

TEST(CompareContents, ReadsInPiecesAndHashesOnlyADifference) {
  TempDir dir("toln-compare");
  const std::string big(200000, 'a');
  std::string split_char = std::string(65535, 'a') + "\xc3\xa9";  // a character across two reads
  struct Case {
    std::string name;
    std::string file;
    std::string wanted;
    bool equal;
    bool utf8;
  } cases[] = {
      {"equal", big, big, true, true},
      {"empty", "", "", true, true},
      {"shorter", big.substr(1), big, false, true},
      {"longer", big + "a", big, false, true},
      {"one byte in the middle", big.substr(0, 150000) + "b" + big.substr(150001), big, false, true},
      {"character across reads", split_char, big, false, true},
      {"cut inside a character", split_char.substr(0, 65536), split_char, false, false},
      {"invalid after an equal start", big + "\xff", big, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(dir.path() / "f", c.file);
    const UniqueFd fd(::open((dir.path() / "f").c_str(), O_RDONLY | O_CLOEXEC));
    const auto compared = compare_contents(fd.get(), c.wanted);
    if (!c.utf8) {
      ASSERT_TRUE(std::holds_alternative<ReadFault>(compared));
      EXPECT_EQ(read_fault_text(std::get<ReadFault>(compared)), "stream did not contain valid UTF-8");
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<ContentCheck>(compared));
    const auto& check = std::get<ContentCheck>(compared);
    EXPECT_EQ(check.equal, c.equal);
    EXPECT_EQ(check.current_digest, c.equal ? "" : content_digest(c.file));
  }
}

TEST(SameFileContents, ComparesBytes) {
  TempDir dir("toln-same");
  const std::string big(200000, 'a');
  std::string big_changed = big;
  big_changed[150000] = 'b';
  write_file(dir.path() / "a", big);
  write_file(dir.path() / "b", big);
  write_file(dir.path() / "c", big_changed);
  write_file(dir.path() / "d", big + "a");
  EXPECT_TRUE(same_file_contents(dir.path() / "a", dir.path() / "b"));
  EXPECT_FALSE(same_file_contents(dir.path() / "a", dir.path() / "c"));
  EXPECT_FALSE(same_file_contents(dir.path() / "a", dir.path() / "d"));
  EXPECT_FALSE(same_file_contents(dir.path() / "a", dir.path() / "missing"));
}

TEST(ContentDigest, Sha256InLowercaseHex) {
  EXPECT_EQ(content_digest(""), "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(content_digest("abc"), "sha256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(ParseMode, OctalTextsOfThirtyTwoBits) {
  const struct {
    std::string text;
    std::optional<std::uint32_t> mode;
  } cases[] = {
      {"755", 0755},        {"0755", 0755},   {"+755", 0755},       {"0", 0},
      {"00000000644", 0644}, {"100644", 0100644}, {"37777777777", 0xFFFFFFFFu},
      {"40000000000", {}},  {"0o755", {}},    {" 755", {}},         {"755 ", {}},
      {"-755", {}},         {"8", {}},        {"", {}},             {"+", {}},
      {"-", {}},            {"++7", {}},      {"7a", {}},
  };
  for (const auto& c : cases) {
    auto parsed = parse_mode(c.text);
    if (c.mode) {
      ASSERT_TRUE(parsed) << c.text;
      EXPECT_EQ(*parsed, *c.mode) << c.text;
    } else {
      EXPECT_EQ(error_of(parsed), "resource error: invalid mode: " + c.text);
    }
  }
  EXPECT_EQ(format_mode(0644), "0644");
  EXPECT_EQ(format_mode(04755), "4755");
  EXPECT_EQ(format_mode(07), "0007");
  EXPECT_EQ(format_mode(0100644), "100644");
}

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

TEST(FileErrors, Texts) {
  EXPECT_EQ(display_agent_error(write_failed_error("/p", AgentError::resource("inner"))),
            "resource error: failed to write /p: resource error: inner");
  EXPECT_EQ(stat_failed_error("/p", ENOENT).message(), "failed to stat /p: No such file or directory (os error 2)");
  EXPECT_EQ(create_dir_failed_error(EACCES).message(), "failed to create dir: Permission denied (os error 13)");
  EXPECT_EQ(remove_failed_error("/p", ENOTDIR).message(), "failed to remove /p: Not a directory (os error 20)");
  EXPECT_EQ(chmod_failed_error("/p", EPERM).message(), "failed to chmod /p: Operation not permitted (os error 1)");
  EXPECT_EQ(stat_failed_error("/p", ENOENT).kind(), AgentError::Resource);
}

}  // namespace
}  // namespace toln
