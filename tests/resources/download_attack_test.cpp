// A user who owns the directory of a download's dest, attacking as nobody
// while the agent works: planted links, reading the transfer, special files.
// Every victim exists only in the sandbox's /etc overlay.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "resources/download_fixture.hpp"
#include "support/unnamed_files.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using namespace toln::testing;
using namespace std::chrono_literals;

using DownloadAttack = DownloadTest;

constexpr uid_t kNobody = 65534;
const fs::path kDrop = "/etc/toln-drop";  // the attacker's directory
const fs::path kVictim = "/etc/toln-victim";
const std::string kVictimText = "root:secret\n";

constexpr const char* kAsNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
constexpr const char* kRealCurl = "PATH=/usr/bin:/bin curl \"$@\"";
// Where a reader as nobody counts its passes over the directory.
const fs::path kPasses = "/etc/toln-passes";
constexpr int kReaderPasses = 20;

// A transfer of /bytes/6000 that has written its bytes and goes on until
// the reader has gone over the directory kReaderPasses more times (a minute
// at most: a guard against a reader that never counts).
const std::string kSlowCurl = std::string(kRealCurl) + " || exit; case \"$*\" in */bytes/6000)\n" +
                              "  start=$(wc -l < " + kPasses.string() + "); i=0\n" +
                              "  while [ $(($(wc -l < " + kPasses.string() + ") - start)) -lt " +
                              std::to_string(kReaderPasses) + " ] && [ $i -lt 6000 ]; do\n" +
                              "    sleep 0.01; i=$((i + 1))\n" +
                              "  done\n" +
                              "esac";

// nobody's program, started with the arguments, until dropped (its process
// group is killed).
ChildProcess as_nobody_run(std::vector<std::string> program_args) {
  ChildSpec spec;
  spec.program = "/usr/bin/setpriv";
  spec.argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  spec.argv.insert(spec.argv.end(), program_args.begin(), program_args.end());
  spec.env = {"PATH=/usr/bin:/bin"};
  spec.cwd = "/";
  return ChildProcess(spec, "");
}

// A python loop run as nobody: one process, which makes its moves without
// starting one for each. The script has the arguments in sys.argv[1:].
ChildProcess as_nobody(const std::string& python_script, const std::vector<std::string>& args) {
  std::vector<std::string> program_args = {"/usr/bin/python3", "-c", python_script};
  program_args.insert(program_args.end(), args.begin(), args.end());
  return as_nobody_run(std::move(program_args));
}

ChildProcess as_nobody_sh(const std::string& command) { return as_nobody_run({"/bin/sh", "-c", command}); }

// Puts a link to the victim (argv[1]) at every name that the patterns that
// follow match, and at each of them that is no pattern, over and over.
constexpr const char* kPlantingLoop = R"(import glob, os, sys
while True:
    for pattern in sys.argv[2:]:
        for name in glob.glob(pattern) if glob.has_magic(pattern) else [pattern]:
            try:
                if os.path.lexists(name):
                    os.unlink(name)
                os.symlink(sys.argv[1], name)
            except OSError:
                pass
)";

// Reads a byte of every file the patterns (argv[2:]) match, over and over,
// adding a line to argv[1] after each pass; prints each file that gives
// one, once.
constexpr const char* kReadingLoop = R"(import glob, sys
read = set()
while True:
    for pattern in sys.argv[2:]:
        for name in glob.glob(pattern):
            try:
                with open(name, "rb") as file:
                    if file.read(1) and name not in read:
                        read.add(name)
                        print(name, flush=True)
            except OSError:
                pass
    with open(sys.argv[1], "a") as passes:
        passes.write("\n")
)";

// Inside the namespace: the root-only victim and nobody's directory (and
// an empty count of a reader's passes, which nobody may add to).
void plant_victim_and_drop_dir() {
  fs::remove_all(kDrop);
  fs::remove("/etc/toln-root-link");
  write_file(kVictim, kVictimText, 0600);
  fs::create_directories(kDrop);
  ASSERT_EQ(::chown(kDrop.c_str(), kNobody, kNobody), 0);
  write_file(kPasses, "", 0644);
  ASSERT_EQ(::chown(kPasses.c_str(), kNobody, kNobody), 0);
}

void expect_victim_unchanged() {
  EXPECT_EQ(read_file(kVictim), kVictimText);
  const struct stat st = lstat_of(kVictim);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, 0u);
}

// The predictable temporary name the transfer was once written through.
std::string old_temp_name(const fs::path& dest) {
  return (dest.parent_path() / ("." + dest.filename().string() + ".toln-tmp." + std::to_string(::getpid()))).string();
}

// A link made by nobody.
void nobody_symlink(const fs::path& target, const fs::path& link) {
  fs::create_symlink(target, link);
  ASSERT_EQ(::lchown(link.c_str(), kNobody, kNobody), 0);
}

// A fake curl that makes a user's moves at the exact steps where they would
// work, every run: `before` (a script run as nobody, given the agent's
// process id) before the real curl starts, `after` (as nobody too, its
// output added to the state file "read") once curl has written its bytes.
std::string moves_around_curl(const std::string& before, const std::string& after) {
  return std::string(kAsNobody) + "sh -c '" + before + "' sh \"$PPID\"\n" + kRealCurl + "; status=$?\n" + kAsNobody +
         "sh -c '" + after + "' >> \"$TOLN_FAKE_STATE/read\"\nexit $status";
}

// body inside the sandbox, with a fresh victim and nobody's directory:
// once with unnamed files, once with a named temporary file where the file
// system has none.
void with_each_kind_of_temporary_file(Sandbox& sandbox, const std::function<void(bool unnamed_files)>& body) {
  for (bool unnamed_files : {true, false}) {
    SCOPED_TRACE(unnamed_files ? "O_TMPFILE" : "named temporary file");
    sandbox.run_in_process([&] {
      ASSERT_NO_FATAL_FAILURE(plant_victim_and_drop_dir());
      if (!unnamed_files) {
        ASSERT_NO_FATAL_FAILURE(refuse_unnamed_files());
      }
      body(unnamed_files);
    });
  }
}

// The loop below with the user's move at the exact step: before the
// transfer starts, links to the victim at dest, at every hidden name in the
// directory and at the temporary name the transfer was once written through
// (named after the agent's process id). With unnamed files, and with a named
// temporary file where there are none.
TEST_F(DownloadAttack, LinksPlantedAsTheTransferStartsRedirectNothing) {
  serve("tool", "downloaded\n");
  const fs::path dest = kDrop / "tool";
  const std::string plant = "cd " + kDrop.string() + " || exit; for f in .[!.]* tool .tool.toln-tmp.$1; do" +
                            " [ \"$f\" = \".[!.]*\" ] || ln -sfn " + kVictim.string() + " \"$f\"; done";
  sandbox.add_fake("curl", moves_around_curl(plant, "[ -L " + dest.string() + " ] && echo planted"));
  const auto resource =
      download({{"url", text(url("tool"))}, {"dest", text(dest)}, {"mode", text("0644")}, {"owner", text("root")}});
  with_each_kind_of_temporary_file(sandbox, [&](bool unnamed_files) {
    const auto result = apply_download(resource, false);
    expect_victim_unchanged();
    if (unnamed_files) {
      ASSERT_TRUE(result) << error_of(result);
      EXPECT_EQ(read_file(dest), "downloaded\n");
      const struct stat st = lstat_of(dest);
      EXPECT_TRUE(S_ISREG(st.st_mode));
      EXPECT_EQ(st.st_uid, 0u);
      EXPECT_EQ(st.st_mode & 07777, 0644u);
    } else {
      // The pending file's name was taken over before the rename.
      EXPECT_EQ(error_of(result), "resource error: " + dest.string() + " was replaced while it was being written");
    }
  });
  EXPECT_EQ(read_file(sandbox.state_dir() / "read"), "planted\nplanted\n") << "the moves were made";
}

// The reading loop further below with the user's move at the exact step:
// once the transfer's bytes are written and before the file has its mode, a
// read of every file in the directory and one level down.
TEST_F(DownloadAttack, TransferCannotBeReadOnceItsBytesAreWritten) {
  const std::string d = kDrop.string();
  sandbox.add_fake("curl", moves_around_curl(":", "for f in " + d + "/* " + d + "/.[!.]* " + d +
                                                      "/.[!.]*/*; do head -c1 \"$f\" 2>/dev/null | grep -q . &&"
                                                      " echo \"$f\"; done; echo done"));
  with_each_kind_of_temporary_file(sandbox, [&](bool) {
    write_file(sandbox.state_dir() / "read", "");
    const fs::path dest = kDrop / "licence.key";
    const auto result = applied_download(
        download({{"url", text(url("bytes/6000"))}, {"dest", text(dest)}, {"mode", text("0600")}}), false);
    EXPECT_EQ(result.diff, "downloaded -> " + dest.string());
    EXPECT_EQ(read_file(sandbox.state_dir() / "read"), "done\n") << "nobody read these";
    EXPECT_EQ(read_file(dest), std::string(6000, 'a'));
    EXPECT_EQ(mode_of(dest), 0600u);
  });
}

TEST_F(DownloadAttack, LinksPlantedAtEveryNameNeverRedirectTheTransfer) {
  serve("tool", "downloaded\n");
  const fs::path dest = kDrop / "tool";
  const auto resource =
      download({{"url", text(url("tool"))}, {"dest", text(dest)}, {"mode", text("0644")}, {"owner", text("root")}});
  // Every hidden name in the directory and the temporary name of old, then
  // dest as well.
  for (const bool at_dest : {false, true}) {
    SCOPED_TRACE(at_dest ? "and dest" : "hidden names");
    sandbox.run_in_process([&] {
      ASSERT_NO_FATAL_FAILURE(plant_victim_and_drop_dir());
      std::vector<std::string> names = {kVictim.string(), kDrop.string() + "/.[!.]*", old_temp_name(dest)};
      if (at_dest) names.push_back(dest.string());
      auto attacker = as_nobody(kPlantingLoop, names);
      int downloaded = 0;
      for (int run = 0; run < 15; ++run) {
        if (apply_download(resource, false) && read_file(dest) == "downloaded\n") ++downloaded;
        ::unlink(dest.c_str());  // so that the next run downloads again
      }
      attacker.kill();
      expect_victim_unchanged();
      if (!at_dest) {
        EXPECT_GT(downloaded, 0) << "the agent still works beside the attacker";
      }
    });
  }
}

// With unnamed files, and with a named temporary file where there are none.
TEST_F(DownloadAttack, TransferCannotBeReadBeforeItHasItsMode) {
  sandbox.add_fake("curl", kSlowCurl);
  with_each_kind_of_temporary_file(sandbox, [&](bool) {
    const fs::path dest = kDrop / "licence.key";
    const std::string d = kDrop.string();
    auto reader = as_nobody(kReadingLoop, {kPasses.string(), d + "/*", d + "/.[!.]*", d + "/.[!.]*/*"});
    const auto result = applied_download(
        download({{"url", text(url("bytes/6000"))}, {"dest", text(dest)}, {"mode", text("0600")}}), false);
    EXPECT_EQ(result.diff, "downloaded -> " + dest.string());
    reader.kill();
    EXPECT_EQ(reader.out(), "") << "nobody read these";
    EXPECT_EQ(read_file(dest), std::string(6000, 'a'));
    EXPECT_EQ(mode_of(dest), 0600u);

    // A failed check leaves nothing behind either.
    EXPECT_EQ(error_of(apply_download(download({{"url", text(url("bytes/10"))},
                                                {"dest", text(kDrop / "other")},
                                                {"checksum", text(sha256_hex(""))}}),
                                      false)),
              "resource error: checksum mismatch: expected " + sha256_hex("") + ", got " + sha256_hex("aaaaaaaaaa"));
    EXPECT_EQ(dir_names(kDrop), std::vector<std::string>{"licence.key"});
  });
}

// What every file left below dir shows other users.
std::vector<std::string> readable_by_others(const fs::path& dir) {
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const struct stat st = lstat_of(entry.path());
    if (S_ISREG(st.st_mode) && (st.st_uid != 0 || (st.st_mode & 0044) != 0)) found.push_back(entry.path());
  }
  return found;
}

TEST_F(DownloadAttack, KilledRunLeavesNoReadableCopy) {
  sandbox.add_fake("curl", std::string(kRealCurl) + " || exit; : > \"$TOLN_FAKE_STATE/written\"; exec sleep 600");
  const fs::path upper_drop = sandbox.upper_path(kDrop);
  fs::create_directories(upper_drop);
  ASSERT_EQ(::chown(upper_drop.c_str(), kNobody, kNobody), 0);
  const std::string bundle = "host = \"h\"\n[[resources]]\nresource_type = \"download\"\nname = \"key\"\n"
                             "props = { url = \"" + url("bytes/6000") + "\", dest = \"" + (kDrop / "licence.key").string() +
                             "\", mode = \"0600\" }\n";
  auto agent = sandbox.start_agent({}, bundle);
  // Killed once the bytes are written, while curl goes on (a minute at
  // most: a guard against a transfer that never ends).
  const auto written = [&] { return fs::exists(sandbox.state_dir() / "written"); };
  for (int tries = 0; tries < 600 && !agent.exited() && !agent.wait_until(written, 100ms);) ++tries;
  ASSERT_TRUE(written()) << agent.err();
  ASSERT_FALSE(agent.exited()) << agent.err();
  agent.kill();
  EXPECT_EQ(readable_by_others(upper_drop), std::vector<std::string>{});
  EXPECT_EQ(readable_by_others(sandbox.tmp_dir()), std::vector<std::string>{});
}

TEST_F(DownloadAttack, LinksFollowTheResolutionRule) {
  serve("tool", "new\n");
  const std::string refused_link = "resource error: refusing to download to ";
  const std::string unsafe = "resource error: refusing to follow symbolic link ";
  struct Case {
    std::string link;  // in nobody's directory unless absolute
    bool nobody_owns_link;
    fs::path target;
    std::string checksum_of;  // the contents wanted
    std::string mode;
    std::string outcome;     // "ok", "removed", or the start of the error
    std::string below = "";  // dest is the link with this below it
    bool absent = false;
  } cases[] = {
      // A deploy account's own link to its own file, already in state.
      {"current", true, kDrop / "release", "in state\n", "0644", "ok"},
      // A root-owned link is followed anywhere.
      {"/etc/toln-root-link", false, kDrop / "release", "in state\n", "0644", "ok"},
      // Contents must change: never written through a link.
      {"current", true, kDrop / "release", "new\n", "", refused_link},
      {"/etc/toln-root-link", false, kDrop / "release", "new\n", "", refused_link},
      // nobody's link to root's file, at dest or on the way: neither
      // contents nor mode reach it.
      {"evil", true, kVictim, kVictimText, "0666", unsafe},
      {"evil", true, kVictim, "new\n", "", unsafe},
      {"up", true, "/etc", kVictimText, "0666", unsafe, "/toln-victim"},
      {"up", true, "/etc", "", "", unsafe, "/toln-victim", true},
      // Removing removes the link alone; a dangling one counts as missing.
      {"evil", true, kVictim, "", "", "removed", "", true},
      {"/etc/toln-root-link", false, "/etc/nowhere", "", "", "ok", "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.link + c.below + " -> " + c.target.string() + (c.absent ? " absent" : " " + c.mode));
    sandbox.run_in_process([&] {
      ASSERT_NO_FATAL_FAILURE(plant_victim_and_drop_dir());
      write_file(kDrop / "release", "in state\n", 0644);
      ASSERT_EQ(::chown((kDrop / "release").c_str(), kNobody, kNobody), 0);
      const fs::path link = fs::path(c.link).is_absolute() ? fs::path(c.link) : kDrop / c.link;
      if (c.nobody_owns_link) {
        ASSERT_NO_FATAL_FAILURE(nobody_symlink(c.target, link));
      } else {
        fs::create_symlink(c.target, link);
      }
      TomlTable props = {{"url", text(url("tool"))}, {"dest", text(link.string() + c.below)}};
      if (c.absent) props["state"] = text("absent");
      if (!c.checksum_of.empty()) props["checksum"] = text(sha256_hex(c.checksum_of));
      if (!c.mode.empty()) props["mode"] = text(c.mode);
      for (bool dry_run : {true, false}) {
        const auto result = apply_download(download(props), dry_run);
        if (c.outcome == "ok" || c.outcome == "removed") {
          ASSERT_TRUE(result) << error_of(result);
          EXPECT_EQ(result->status, c.outcome == "ok" ? ResourceStatus::Ok : ResourceStatus::Changed);
        } else {
          EXPECT_EQ(error_of(result).rfind(c.outcome, 0), 0u) << error_of(result);
        }
      }
      EXPECT_EQ(fs::is_symlink(link), c.outcome != "removed");
      EXPECT_EQ(read_file(kDrop / "release"), "in state\n");
      EXPECT_EQ(mode_of(kDrop / "release"), 0644u);
      expect_victim_unchanged();
    });
  }
  EXPECT_TRUE(server->requests().empty());
}

TEST_F(DownloadAttack, SetIdModeWithAnOwnerIsRightOnTheFirstRun) {
  serve("tool", "#!/bin/sh\n");
  const fs::path dest = scratch("bin/tool");
  const auto resource =
      download({{"url", text(url("tool"))}, {"dest", text(dest)}, {"mode", text("4755")}, {"owner", text("nobody")}});
  sandbox.run_in_process([&] {
    EXPECT_EQ(applied_download(resource, false).diff, "downloaded -> " + dest.string());
    EXPECT_EQ(mode_of(dest), 04755u);
    EXPECT_EQ(lstat_of(dest).st_uid, kNobody);
    EXPECT_EQ(applied_download(resource, false).status, ResourceStatus::Ok);
    EXPECT_EQ(mode_of(dest), 04755u);
  });
}

// In a shared sticky directory (/tmp) the user makes dest first, with the
// right bytes, and keeps it open for writing: the file that gets root's owner
// and mode must be the agent's own, never the user's.
TEST_F(DownloadAttack, FileMadeFirstInAStickyDirectoryIsReplaced) {
  serve("tool", "#!/bin/sh\n");
  const fs::path shared = scratch("shared");
  const fs::path dest = shared / "tool";
  const auto resource = download({{"url", text(url("tool"))},
                                  {"dest", text(dest)},
                                  {"checksum", text(sha256_hex("#!/bin/sh\n"))},
                                  {"mode", text("0755")},
                                  {"owner", text("root")}});
  sandbox.run_in_process([&] {
    fs::create_directory(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    write_file(dest, "#!/bin/sh\n", 0666);
    ASSERT_EQ(::chown(dest.c_str(), kNobody, kNobody), 0);
    const ino_t users = lstat_of(dest).st_ino;
    EXPECT_EQ(applied_download(resource, false).diff,
              "owner and mode of uid 65534's file not kept, downloaded -> " + dest.string());
    EXPECT_NE(lstat_of(dest).st_ino, users);
    EXPECT_EQ(lstat_of(dest).st_uid, 0u);
    EXPECT_EQ(mode_of(dest), 0755u);
    EXPECT_EQ(applied_download(resource, false).status, ResourceStatus::Ok);
  });
}

// nobody's python3, in kDrop: makes file holding "trusted", maps it shared
// and writable, makes kDrop/ready, and once kDrop/go exists writes "pwned!!"
// through the mapping (see hold_mapping.py).
ChildProcess hold_mapping(const fs::path& file) {
  return as_nobody_sh("cd " + kDrop.string() + " && exec /usr/bin/python3 " TOLN_SOURCE_DIR
                   "/tests/support/hold_mapping.py " + file.string() + " trusted 'pwned!!' ready go");
}

void wait_for(const fs::path& file) {
  for (int tries = 0; tries < 3000 && !fs::exists(file); ++tries) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(fs::exists(file)) << file;
}

// The user has the very bytes wanted at dest, or a link at dest in a shared
// directory to such a file of its own, and holds a shared writable mapping
// of that file across the run: the root-owned set-uid file at dest
// afterwards must be a new one, and the user's file stays the user's.
TEST_F(DownloadAttack, UsersFileIsNeverRootsInPlace) {
  serve("tool", "trusted");
  const fs::path shared = "/etc/toln-shared";
  const struct {
    fs::path dest;
    fs::path users_file;  // the one mapped
    std::string diff;
  } cases[] = {
      {kDrop / "tool", kDrop / "tool",
       "downloaded -> " + (kDrop / "tool").string() + ", mode 0755 -> 4755, owner nobody -> root"},
      {shared / "tool", kDrop / "own",
       "owner and mode of uid 65534's file not kept, downloaded -> " + (shared / "tool").string()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dest);
    sandbox.run_in_process([&] {
      plant_victim_and_drop_dir();
      fs::remove_all(shared);
      fs::create_directory(shared);
      ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
      auto holder = hold_mapping(c.users_file);
      ASSERT_NO_FATAL_FAILURE(wait_for(kDrop / "ready"));
      const ino_t users = lstat_of(c.users_file).st_ino;
      if (c.dest != c.users_file) {
        ASSERT_NO_FATAL_FAILURE(nobody_symlink(c.users_file, c.dest));
      }
      const auto resource = download({{"url", text(url("tool"))},
                                      {"dest", text(c.dest)},
                                      {"checksum", text(sha256_hex("trusted"))},
                                      {"mode", text("4755")},
                                      {"owner", text("root")}});
      const auto result = apply_download(resource, false);
      write_file(kDrop / "go", "");
      const auto held = holder.wait_exit(20s);
      ASSERT_TRUE(held && held->exit_status == 0) << holder.err();
      EXPECT_EQ(result ? *result->diff : error_of(result), c.diff);
      const struct stat st = lstat_of(c.dest);
      EXPECT_TRUE(S_ISREG(st.st_mode));
      EXPECT_EQ(st.st_uid, 0u);
      EXPECT_EQ(st.st_mode & 07777, 04755u);
      EXPECT_NE(st.st_ino, users);
      EXPECT_EQ(read_file(c.dest), "trusted") << "the user wrote into root's set-uid file through its mapping";
      if (c.dest != c.users_file) {
        EXPECT_EQ(lstat_of(c.users_file).st_uid, kNobody);
        EXPECT_EQ(mode_of(c.users_file), 0755u);
      }
      EXPECT_EQ(applied_download(resource, false).status, ResourceStatus::Ok);
    });
  }
}

// A sparse file costs its owner nothing: one of 8 EiB at dest must never be
// read. Another user's in a shared directory is replaced at once; one of the
// wanted owner's own, with holes no transfer leaves, is fetched again
// unread.
TEST_F(DownloadAttack, HugeSparseDestIsNeverRead) {
  serve("tool", "new\n");
  const fs::path huge = "/etc/toln-huge";
  const struct {
    fs::path dest;
    std::optional<std::string> owner;
    std::string diff;
  } cases[] = {
      {huge / "tool", std::nullopt,
       "owner and mode of uid 65534's file not kept, downloaded -> " + (huge / "tool").string()},
      {huge / "mine/tool", "nobody", "checksum mismatch (re-download), downloaded -> " + (huge / "mine/tool").string()},
  };
  sandbox.run_in_process([&] {
    fs::create_directories(huge);
    ASSERT_EQ(::mount("tmpfs", huge.c_str(), "tmpfs", 0, "size=1m"), 0);
    ASSERT_EQ(::chmod(huge.c_str(), 01777), 0);
    fs::create_directory(huge / "mine");
    ASSERT_EQ(::chown((huge / "mine").c_str(), kNobody, kNobody), 0);
    for (const auto& c : cases) {
      SCOPED_TRACE(c.dest);
      auto truncate = as_nobody_sh("exec truncate -s 9223372036854775807 " + c.dest.string());
      const auto made = truncate.wait_exit(20s);
      ASSERT_TRUE(made && made->exit_status == 0) << truncate.err();
      TomlTable props = {{"url", text(url("tool"))}, {"dest", text(c.dest)}, {"checksum", text(sha256_hex("new\n"))}};
      if (c.owner) props["owner"] = text(*c.owner);
      ::alarm(60);  // a hang guard: reading the file would never end
      EXPECT_EQ(applied_download(download(props), false).diff, c.diff);
      ::alarm(0);
      EXPECT_EQ(read_file(c.dest), "new\n");
      EXPECT_EQ(lstat_of(c.dest).st_uid, c.owner ? kNobody : 0u);
    }
  });
}

TEST_F(DownloadAttack, SpecialFilesAtDestFailAtOnce) {
  serve("tool", "new\n");
  const std::string archive_sum = serve_archive("tool.tgz", R"([{"name": "fifo", "kind": "file", "data": "x"}])");
  sandbox.run_in_process([&] {
    ASSERT_NO_FATAL_FAILURE(plant_victim_and_drop_dir());
    ASSERT_EQ(::mkfifo((kDrop / "fifo").c_str(), 0644), 0);
    fs::create_directory(kDrop / "dir");
    fs::create_symlink("/dev/zero", "/etc/toln-zero");
    const TomlTable plain = {{"url", text(url("tool"))}, {"checksum", text(sha256_hex("new\n"))}};
    const TomlTable archive = {
        {"url", text(url("tool.tgz"))}, {"extract", boolean(true)}, {"checksum", text(archive_sum)}};
    const TomlTable bare = {{"url", text(url("tool"))}, {"mode", text("0644")}};
    ::alarm(100);  // a read that blocks or never ends kills the check
    for (const fs::path& dest : {kDrop / "fifo", fs::path("/etc/toln-zero"), kDrop / "dir"}) {
      for (TomlTable props : {plain, archive, bare}) {
        props["dest"] = text(dest);
        EXPECT_EQ(error_of(apply_download(download(props), false)), "resource error: " + dest.string() +
                                                                         " is not a regular file");
      }
    }
    ::alarm(0);
    EXPECT_TRUE(fs::is_fifo(kDrop / "fifo"));
  });
}

}  // namespace
}  // namespace toln
