#include "harness/sandbox.hpp"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace toln::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Commands that write under /etc start with this, so that a broken harness
// stops them before they reach the host's /etc.
const std::string kOnlyInOverlay =
    "awk '$2 == \"/etc\" && $3 == \"overlay\" { found = 1 } END { exit !found }' /proc/self/mounts "
    "|| { echo 'not in the sandbox' >&2; exit 99; }; ";

std::string host_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// A name under /etc that no host has.
fs::path unused_etc_path(std::string_view what) {
  return fs::path("/etc") / ("toln-harness-" + std::string(what) + "-" + std::to_string(::getpid()));
}

std::string shell_quote(std::string_view text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override { TOLN_REQUIRE_SANDBOX(); }
};

TEST_F(SandboxTest, FakesShadowHostProgramsAndRecordExactArguments) {
  Sandbox sandbox;
  sandbox.add_fake("id", "echo fake id; exit 4");
  const std::vector<std::string> args = {"a b", "", "two\nlines", "it's", "$HOME"};
  std::string command = "command -v id; id";
  for (const auto& arg : args) command += " " + shell_quote(arg);
  const RunResult result = sandbox.run_in_namespace(command + "; echo status=$?; id");
  EXPECT_EQ(result.out, "/usr/local/sbin/id\nfake id\nstatus=4\nfake id\n");

  Invocation first = {"id"};
  first.insert(first.end(), args.begin(), args.end());
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{first, {"id"}}));
  sandbox.clear_invocations();
  EXPECT_TRUE(sandbox.invocations().empty());
}

TEST_F(SandboxTest, FakesKeepStateBetweenCallsAndReadStandardInput) {
  Sandbox sandbox;
  sandbox.add_fake("systemctl", R"(case "$1" in
  start) : > "$TOLN_FAKE_STATE/$2.active" ;;
  is-active) [ -e "$TOLN_FAKE_STATE/$2.active" ] || exit 3 ;;
esac)");
  sandbox.add_fake("feed", "cat > \"$TOLN_FAKE_STATE/fed\"");
  const RunResult result = sandbox.run_in_namespace(
      "systemctl is-active web; echo $?; systemctl start web; systemctl is-active web; echo $?; feed", "input\n");
  EXPECT_EQ(result.out, "3\n0\n");
  EXPECT_EQ(host_file(sandbox.state_dir() / "fed"), "input\n");
  EXPECT_EQ(sandbox.invocations_of("systemctl"),
            (std::vector<Invocation>{
                {"systemctl", "is-active", "web"}, {"systemctl", "start", "web"}, {"systemctl", "is-active", "web"}}));
  EXPECT_EQ(sandbox.invocations_of("feed"), (std::vector<Invocation>{{"feed"}}));
}

TEST_F(SandboxTest, SilentFakesSucceedUnlogged) {
  Sandbox sandbox;
  sandbox.add_silent_fake("restorecon");
  const RunResult result = sandbox.run_in_namespace("restorecon /etc/passwd; echo status=$?");
  EXPECT_EQ(result.out, "status=0\n");
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(sandbox.invocations().empty());
  EXPECT_THROW(sandbox.add_silent_fake("../true"), std::invalid_argument);
}

TEST_F(SandboxTest, HostChangingProgramsAreRefusedUnlessFaked) {
  Sandbox sandbox;
  for (const auto& program : refused_programs()) {
    const RunResult result = sandbox.run_in_namespace(program + " --probe");
    EXPECT_EQ(result.exit_status, 127) << program;
    EXPECT_EQ(result.err, "toln-harness: the real " + program + " is not run in a sandbox; add a fake for it\n");
  }
  ASSERT_EQ(sandbox.invocations().size(), refused_programs().size());
  EXPECT_EQ(sandbox.invocations().front(), (Invocation{refused_programs().front(), "--probe"}));
}

TEST_F(SandboxTest, NewEtcFilesLandInTheUpperLayerOnly) {
  Sandbox sandbox;
  const fs::path path = unused_etc_path("new");
  ASSERT_FALSE(fs::exists(path));
  const RunResult result = sandbox.run_in_namespace(kOnlyInOverlay + "mkdir " + path.string() + " && echo written > " +
                                                    path.string() + "/file && cat " + path.string() + "/file");
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.out, "written\n");
  EXPECT_EQ(sandbox.read_upper(path / "file"), "written\n");
  EXPECT_EQ(sandbox.upper_path(path / "file"), sandbox.root() / "layers/0/upper" / path.filename() / "file");
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(SandboxTest, ChangedAndDeletedHostFilesStayOnTheHost) {
  Sandbox sandbox;
  const std::string hosts = host_file("/etc/hosts");
  const std::string passwd = host_file("/etc/passwd");
  ASSERT_FALSE(passwd.empty());
  // The merged view starts from the directory's own files, which is not the
  // host's view where something is mounted on one of them.
  const std::string hosts_in_sandbox = sandbox.run_in_namespace("cat /etc/hosts").out;
  const RunResult result = sandbox.run_in_namespace(kOnlyInOverlay +
                                                    "echo '192.0.2.1 sandboxed' >> /etc/hosts && rm /etc/passwd && "
                                                    "test ! -e /etc/passwd");
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(sandbox.read_upper("/etc/hosts"), hosts_in_sandbox + "192.0.2.1 sandboxed\n");
  EXPECT_TRUE(sandbox.is_whiteout("/etc/passwd"));
  EXPECT_EQ(sandbox.read_upper("/etc/passwd"), std::nullopt);
  EXPECT_EQ(host_file("/etc/hosts"), hosts);
  EXPECT_EQ(host_file("/etc/passwd"), passwd);
}

TEST_F(SandboxTest, SeededFilesAndWhiteoutsShapeTheMergedView) {
  Sandbox sandbox;
  const fs::path seeded = unused_etc_path("seed") / "sub" / "file";
  sandbox.write_upper(seeded, "seed\n", 0600);
  sandbox.whiteout("/etc/hosts");
  EXPECT_TRUE(sandbox.is_whiteout("/etc/hosts"));
  EXPECT_FALSE(sandbox.is_whiteout(seeded));
  const RunResult result = sandbox.run_in_namespace("stat -c %a " + seeded.string() + "; cat " + seeded.string() +
                                                    "; test -e /etc/hosts; echo hosts=$?");
  EXPECT_EQ(result.out, "600\nseed\nhosts=1\n");
  EXPECT_TRUE(fs::exists("/etc/hosts"));
  EXPECT_FALSE(fs::exists(seeded.parent_path().parent_path()));

  // Seeding over a whiteout brings the path back with the new content.
  sandbox.write_upper("/etc/hosts", "127.0.0.1 seeded\n");
  EXPECT_EQ(sandbox.run_in_namespace("cat /etc/hosts").out, "127.0.0.1 seeded\n");
  EXPECT_FALSE(sandbox.is_whiteout("/etc/hosts"));
}

TEST_F(SandboxTest, UpperDirectoriesTakeTheHostDirectoriesModeAndOwner) {
  Sandbox sandbox;
  const fs::path lower = sandbox.scratch_dir() / "lower";
  fs::create_directories(lower / "sub");
  ASSERT_EQ(::chmod((lower / "sub").c_str(), 0710), 0);
  ASSERT_EQ(::chown((lower / "sub").c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod(lower.c_str(), 0750), 0);
  sandbox.overlay(lower);
  sandbox.write_upper(lower / "sub" / "file", "x", 0640);

  struct stat st {};
  ASSERT_EQ(::stat(sandbox.upper_path(lower / "sub").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0710u);
  EXPECT_EQ(st.st_uid, 65534u);
  ASSERT_EQ(::stat(sandbox.upper_path(lower).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  const RunResult result = sandbox.run_in_namespace("stat -c '%a %u' " + lower.string() + " " + lower.string() +
                                                    "/sub " + lower.string() + "/sub/file");
  EXPECT_EQ(result.out, "750 0\n710 65534\n640 0\n");
}

TEST_F(SandboxTest, ExtraOverlaysProtectTheirHostDirectory) {
  Sandbox sandbox;
  sandbox.overlay("/var/lib");
  const fs::path file = "/var/lib/toln-harness-" + std::to_string(::getpid()) + "/runs/report.json";
  ASSERT_FALSE(fs::exists(file.parent_path().parent_path()));
  const RunResult result = sandbox.run_in_namespace(
      "awk '$2 == \"/var/lib\" && $3 == \"overlay\" { found = 1 } END { exit !found }' /proc/self/mounts || exit 99; "
      "mkdir -p " +
      file.parent_path().string() + " && echo '{}' > " + file.string());
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(sandbox.read_upper(file), "{}\n");
  EXPECT_FALSE(fs::exists(file.parent_path().parent_path()));
}

TEST_F(SandboxTest, UnsuitableOverlaysAndPathsAreRefused) {
  Sandbox sandbox;
  const fs::path scratch = sandbox.scratch_dir();
  fs::create_directories(scratch / "a" / "b");
  fs::create_directory_symlink(scratch / "a", scratch / "link");
  sandbox.overlay(scratch / "a");
  for (const fs::path& dir :
       {fs::path("relative"), fs::path("/"), fs::path("/nonexistent-toln-dir"), fs::path("/etc"), scratch / "a" / "b",
        scratch, scratch / "link", sandbox.root().parent_path(), fs::path("/usr/local/sbin")}) {
    EXPECT_THROW(sandbox.overlay(dir), std::invalid_argument) << dir;
  }
  for (const fs::path& path : {fs::path("/var/lib/x"), fs::path("etc/hosts"), fs::path("/etcetera/x")}) {
    EXPECT_THROW(sandbox.upper_path(path), std::invalid_argument) << path;
  }
  EXPECT_THROW(sandbox.write_upper("/etc", "x"), std::invalid_argument);
}

TEST_F(SandboxTest, ChildrenGetAFixedEnvironmentAndSandboxDirectories) {
  Sandbox sandbox;
  ::setenv("TOLN_HARNESS_NOT_PASSED", "1", 1);
  const RunResult result = sandbox.run_in_namespace(
      "echo \"$PATH\"; echo \"$HOME\"; echo \"$TMPDIR\"; echo \"$TOLN_FAKE_STATE\"; echo \"$TOLN_FAKE_LOG\"; pwd; "
      "echo \"${TOLN_HARNESS_NOT_PASSED-unset}\"; echo \"$EXTRA\"",
      {}, {{"EXTRA", "extra value"}, {"HOME", "/overridden"}});
  ::unsetenv("TOLN_HARNESS_NOT_PASSED");
  const fs::path root = sandbox.root();
  EXPECT_EQ(result.out, "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin\n/overridden\n" +
                            sandbox.tmp_dir().string() + "\n" + sandbox.state_dir().string() + "\n" +
                            (root / "fake.log").string() + "\n" + sandbox.scratch_dir().string() +
                            "\nunset\nextra value\n");
}

std::string read_link(const char* path) {
  std::error_code error;
  return fs::read_symlink(path, error).string();
}

TEST_F(SandboxTest, MountsAndHostNameStayInTheChild) {
  Sandbox sandbox;
  const std::string host_uts = read_link("/proc/self/ns/uts");
  char host_name[256] = {};
  ASSERT_EQ(::gethostname(host_name, sizeof host_name - 1), 0);
  const RunResult result = sandbox.run_in_namespace(
      "[ \"$(readlink /proc/self/ns/uts)\" != \"$HOST_UTS\" ] || exit 99; hostname toln-sandboxed && hostname; "
      "awk '$5 == \"/etc\" || $5 == \"/usr/local/sbin\" { print $5 }' /proc/self/mountinfo",
      {}, {{"HOST_UTS", host_uts}});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.out, "toln-sandboxed\n/etc\n/usr/local/sbin\n");

  char after[256] = {};
  ASSERT_EQ(::gethostname(after, sizeof after - 1), 0);
  EXPECT_STREQ(after, host_name);
  EXPECT_EQ(host_file("/proc/self/mountinfo").find(sandbox.root().string()), std::string::npos);
}

TEST_F(SandboxTest, FailedNamespaceSetUpNeverRunsTheCommand) {
  Sandbox sandbox;
  fs::remove_all(sandbox.upper_path("/etc"));
  RunResult result;
  EXPECT_NONFATAL_FAILURE(result = sandbox.run_in_namespace("touch ran"), "the sandbox could not be set up");
  EXPECT_EQ(result.exit_status, kSetupFailedStatus);
  EXPECT_EQ(result.err, "toln-harness: mount of the overlay on /etc failed: errno 2\n");
  EXPECT_FALSE(fs::exists(sandbox.scratch_dir() / "ran"));
}

// The timeout leaves the shell time to start and print, even on a busy
// machine (it took well under a second beside eight busy loops).
TEST_F(SandboxTest, RunsOverTheTimeoutAreKilledAndReported) {
  Sandbox sandbox;
  sandbox.set_run_timeout(milliseconds(5000));
  RunResult result;
  EXPECT_NONFATAL_FAILURE(result = sandbox.run_in_namespace("echo started; exec sleep 100"), "ran longer than 5000 ms");
  EXPECT_TRUE(result.timed_out);
  EXPECT_EQ(result.out, "started\n");
}

TEST_F(SandboxTest, RunAgentVersion) {
  Sandbox sandbox;
  const RunResult result = sandbox.run_agent({"--version"});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, "toln-agent 0.8.3\n");
  EXPECT_EQ(result.err, "");
}

TEST_F(SandboxTest, RunAgentReadsTheWholeBundleFromStandardInput) {
  Sandbox sandbox;
  // Far more than a pipe holds, so the bundle is fed while output is drained.
  std::string bundle;
  for (int i = 0; i < 100000; ++i) bundle += "# a comment line that only makes the bundle large\n";
  bundle += "host = \n";
  const RunResult result = sandbox.run_agent({}, bundle);
  EXPECT_EQ(result.exit_status, 5);
  EXPECT_TRUE(
      result.err.starts_with("failed to parse bundle: parse error: failed to parse bundle: "
                             "TOML parse error at line 100001, column 8"))
      << result.err;
  EXPECT_EQ(result.out, "");
}

TEST_F(SandboxTest, StartedAgentCanBeWaitedFor) {
  Sandbox sandbox;
  ChildProcess agent = sandbox.start_agent({}, "host = \n");
  const auto result = agent.wait_exit(seconds(30));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->exit_status, 5);
  EXPECT_TRUE(result->err.starts_with("failed to parse bundle: ")) << result->err;
}

}  // namespace
}  // namespace toln::testing
