#include "host/process.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <fstream>

#include "harness/sandbox.hpp"
#include "host/spawn.hpp"
#include "support/refused_system_call.hpp"

namespace toln {
namespace {

using testing::Sandbox;

class ProcessRunner : public ::testing::Test {
 protected:
  void SetUp() override { TOLN_REQUIRE_SANDBOX(); }
  Sandbox sandbox;
};

CommandOutput run_ok(const std::string& program, const std::vector<std::string>& args, const RunOptions& options = {}) {
  auto output = run({program, args}, options);
  EXPECT_TRUE(output) << (output ? "" : display_agent_error(output.error()));
  return output ? std::move(*output) : CommandOutput{};
}

// Whether text is count copies of c: the streams below are compared without
// a second string of 64 MiB, each of whose pages is a fault to make.
bool is_run_of(std::string_view text, char c, std::size_t count) {
  return text.size() == count && text.find_first_not_of(c) == std::string_view::npos;
}

void keeps_the_raw_wait_status() {
  EXPECT_EQ(run_ok("sh", {"-c", "exit 0"}).status, 0);
  EXPECT_EQ(run_ok("sh", {"-c", "exit 1"}).status, 256);
  EXPECT_EQ(run_ok("sh", {"-c", "kill -9 $$"}).status, 9);
  EXPECT_EQ(exit_code(256), 1);
  EXPECT_EQ(terminating_signal(9), 9);
  EXPECT_FALSE(exit_code(9));
}

TEST_F(ProcessRunner, KeepsTheRawWaitStatus) { sandbox.run_in_process(keeps_the_raw_wait_status); }

TEST_F(ProcessRunner, ChildEnvironmentAndStreams) {
  sandbox.run_in_process([] {
    ::setenv("PATH", "/nowhere", 1);
    ::setenv("TOLN_TEST_INHERITED", "kept", 1);
    const CommandOutput env = run_ok("sh", {"-c", "printf '%s|%s' \"$PATH\" \"$TOLN_TEST_INHERITED\""});
    EXPECT_EQ(env.stdout_bytes, std::string(child_search_path) + "|kept");
    // Standard input is /dev/null: cat sees end-of-file at once.
    EXPECT_EQ(run_ok("cat", {}).stdout_bytes, "");
    // Each argument is one argument, never split or quoted.
    EXPECT_EQ(run_ok("sh", {"-c", "printf '[%s]' \"$@\"", "sh", "a b", "", "*"}).stdout_bytes, "[a b][][*]");
  });
}

TEST_F(ProcessRunner, ChildStartsWithDefaultSigpipe) {
  sandbox.run_in_process([] {
    ::signal(SIGPIPE, SIG_IGN);
    // A shell that starts with SIGPIPE ignored cannot be killed by it.
    EXPECT_EQ(run_ok("sh", {"-c", "kill -PIPE $$"}).status, SIGPIPE);
  });
}

TEST_F(ProcessRunner, ProgramsAreFoundOnlyInTheFixedSearchPath) {
  std::ofstream(sandbox.scratch_dir() / "toln-only-here") << "#!/bin/sh\necho found\n";
  std::filesystem::permissions(sandbox.scratch_dir() / "toln-only-here", std::filesystem::perms::owner_all);
  const std::string scratch = sandbox.scratch_dir().string();
  sandbox.run_in_process([scratch] {
    ::setenv("PATH", scratch.c_str(), 1);
    auto missing = run({"toln-only-here", {}});
    ASSERT_FALSE(missing);
    EXPECT_EQ(display_agent_error(missing.error()),
              "resource error: failed to run toln-only-here: No such file or directory (os error 2)");
    // A name with a slash is a path.
    EXPECT_EQ(run_ok(scratch + "/toln-only-here", {}).stdout_bytes, "found\n");
    auto nul = run({"sh", {"-c", std::string("echo a\0b", 8)}});
    ASSERT_FALSE(nul);
    EXPECT_EQ(nul.error().message(), "failed to run sh: nul byte found in provided data");
  });
}

void drains_both_pipes_at_once() {
  const CommandOutput big =
      run_ok("sh", {"-c", "head -c 3000000 /dev/zero; head -c 3000000 /dev/zero >&2; head -c 10 /dev/zero"});
  EXPECT_EQ(big.stdout_bytes.size(), 3000010u);
  EXPECT_EQ(big.stderr_bytes.size(), 3000000u);
}

TEST_F(ProcessRunner, DrainsBothPipesAtOnce) { sandbox.run_in_process(drains_both_pipes_at_once); }

void feeds_standard_input_from_a_thread() {
  const std::string input(4000000, 'x');
  // Megabytes out on both pipes before the child reads a byte of input.
  const CommandOutput echoed =
      run_ok("sh", {"-c", "head -c 2000000 /dev/zero; head -c 2000000 /dev/zero >&2; cat"}, {.input = input});
  EXPECT_EQ(echoed.stdout_bytes.size(), 6000000u);
  EXPECT_EQ(echoed.stderr_bytes.size(), 2000000u);

  auto ignored = run({"true", {}}, {.input = input});
  ASSERT_TRUE(ignored) << "a child that never reads is no error";
  EXPECT_EQ(ignored->status, 0);

  EXPECT_EQ(run_ok("cat", {}, {.input = ""}).stdout_bytes, "");

  auto missing = run({"toln-no-such-program", {}}, {.input = "x"});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), "failed to spawn toln-no-such-program: No such file or directory (os error 2)");
}

TEST_F(ProcessRunner, FeedsStandardInputFromAThread) { sandbox.run_in_process(feeds_standard_input_from_a_thread); }

TEST_F(ProcessRunner, WritesStandardOutputIntoACallersDescriptor) {
  sandbox.run_in_process([] {
    UniqueFd file(::open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    ASSERT_TRUE(file.valid());
    auto ran = run({"sh", {"-c", "head -c 3000000 /dev/zero; echo warned >&2; cat; exit 3"}}, {.stdout_fd = file.get()});
    ASSERT_TRUE(ran);
    EXPECT_EQ(ran->status, 3 << 8);
    EXPECT_EQ(ran->stdout_bytes, "");
    EXPECT_EQ(ran->stderr_bytes, "warned\n");
    struct stat st {};
    ASSERT_EQ(::fstat(file.get(), &st), 0);
    EXPECT_EQ(st.st_size, 3000000) << "standard input is /dev/null, so cat added nothing";

    auto missing = run({"toln-no-such-program", {}}, {.stdout_fd = file.get()});
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message(),
              "failed to run toln-no-such-program: No such file or directory (os error 2)");
    // A descriptor the child cannot be given fails the start rather than
    // leave the child writing into the agent's own standard output.
    for (const int bad : {-1, 1 << 30}) {
      auto refused = run({"sh", {"-c", "echo leaked"}}, {.stdout_fd = bad});
      ASSERT_FALSE(refused);
      EXPECT_EQ(refused.error().message(), "failed to run sh: Bad file descriptor (os error 9)");
    }
  });
}

// Each stream keeps its first 64 MiB and drains the rest; where the stream
// is quoted whole, the cut is marked.
TEST_F(ProcessRunner, KeepsAtMost64MiBOfEachStream) {
  sandbox.run_in_process([] {
    const CommandOutput exact = run_ok("sh", {"-c", "head -c 67108864 /dev/zero | tr '\\0' o"});
    EXPECT_TRUE(is_run_of(exact.stdout_bytes, 'o', kCapturedStreamBound)) << exact.stdout_bytes.size();
    EXPECT_FALSE(exact.stdout_cut);
    EXPECT_EQ(stdout_text(exact).size(), kCapturedStreamBound);

    const CommandOutput flood = run_ok("sh", {"-c", "head -c 100000000 /dev/zero | tr '\\0' e >&2; echo done"});
    EXPECT_EQ(flood.stdout_bytes, "done\n");
    EXPECT_FALSE(flood.stdout_cut);
    EXPECT_TRUE(is_run_of(flood.stderr_bytes, 'e', kCapturedStreamBound)) << flood.stderr_bytes.size();
    EXPECT_TRUE(flood.stderr_cut);
    EXPECT_TRUE(stderr_text(flood).ends_with("eee...(truncated)"));

    auto failed = run_checked({"sh", {"-c", "head -c 70000000 /dev/zero | tr '\\0' e >&2; exit 1"}}, "flood");
    ASSERT_FALSE(failed);
    const std::string_view prefix = "flood failed: ", suffix = "...(truncated)";
    std::string_view message = failed.error().message();
    ASSERT_TRUE(message.starts_with(prefix) && message.ends_with(suffix)) << message.substr(0, 100);
    message.remove_prefix(prefix.size());
    message.remove_suffix(suffix.size());
    EXPECT_TRUE(is_run_of(message, 'e', kCapturedStreamBound)) << message.size();
  });
}

// Once the child has exited, what is in its pipes is its output: a
// background child that keeps them open, even writing on, does not hold the
// call, nor does one that keeps standard input open without reading it.
void waits_for_the_child_not_its_descendants() {
  const auto started = std::chrono::steady_clock::now();
  const CommandOutput quiet = run_ok("sh", {"-c", "sleep 300 & echo $!; echo started >&2"});
  const CommandOutput noisy = run_ok("sh", {"-c", "yes >&2 & echo $!"});
  const CommandOutput fed = run_ok("sh", {"-c", "sleep 300 & echo $!"}, {.input = std::string(8 << 20, 'x')});
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
  EXPECT_EQ(quiet.stderr_bytes, "started\n");
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(fed.status, 0);
  for (const std::string& pid : {quiet.stdout_bytes, noisy.stdout_bytes, fed.stdout_bytes}) {
    EXPECT_EQ(::kill(std::stoi(pid), SIGKILL), 0) << "the background child is left running: " << pid;
  }
}

TEST_F(ProcessRunner, WaitsForTheChildNotItsDescendants) {
  sandbox.run_in_process(waits_for_the_child_not_its_descendants);
}

// Whoever drops a child that is still running, its writer blocked on a full
// pipe, leaves neither a process nor a zombie behind.
void a_dropped_child_is_killed_and_reaped() {
  {
    auto spawned = spawn_child({"sleep", {"300"}}, {.input = ""});
    ASSERT_TRUE(spawned) << display_agent_error(spawned.error());
    EXPECT_TRUE(spawned->feed_stdin(std::string(8 << 20, 'x')));
  }
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD) << "a child of this process is left";
}

TEST_F(ProcessRunner, ADroppedChildIsKilledAndReaped) { sandbox.run_in_process(a_dropped_child_is_killed_and_reaped); }

TEST_F(ProcessRunner, ExtraEnvironmentEntries) {
  sandbox.run_in_process([] {
    auto set = run({"sh", {"-c", "printf %s \"$TOLN_PARAM_x\""}}, {.env = {{"TOLN_PARAM_x", "8080"}}});
    ASSERT_TRUE(set);
    EXPECT_EQ(set->stdout_bytes, "8080");

    auto nul = run({"sh", {"-c", "exit 0"}}, {.env = {{"TOLN_PARAM_x", std::string("a\0b", 3)}}});
    ASSERT_FALSE(nul);
    EXPECT_EQ(nul.error().message(),
              "env var TOLN_PARAM_x contains a NUL byte, which is not allowed in process environment values");

    for (const std::string& name : {std::string("TOLN_PARAM_a=b"), std::string("TOLN_PARAM_a\0b", 14), std::string()}) {
      auto refused = run({"sh", {"-c", "exit 0"}}, {.env = {{name, "v"}}});
      ASSERT_FALSE(refused) << name;
      EXPECT_TRUE(refused.error().message().starts_with("env var name '")) << refused.error().message();
    }
  });
}

TEST_F(ProcessRunner, RunCheckedNeedsStatusZero) {
  sandbox.run_in_process([] {
    EXPECT_TRUE(run_checked({"sh", {"-c", "exit 0"}}, "ok"));
    auto failed = run_checked({"sh", {"-c", "echo boom >&2; exit 2"}}, "demo step");
    ASSERT_FALSE(failed);
    EXPECT_EQ(display_agent_error(failed.error()), "resource error: demo step failed: boom\n");
  });
}

// One call combines what a caller needs: input, environment, a working
// directory given as a descriptor (which names the directory it was opened
// on, whatever is renamed meanwhile).
TEST_F(ProcessRunner, InputEnvironmentAndWorkingDirectoryTogether) {
  const std::filesystem::path dir = sandbox.scratch_dir() / "work";
  std::filesystem::create_directory(dir);
  sandbox.run_in_process([dir] {
    UniqueFd at(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(at.valid());
    std::filesystem::rename(dir, dir.string() + "-moved");
    const CommandOutput ran = run_ok("sh", {"-c", "printf '%s|%s|' \"$TOLN_X\" \"$(pwd -P)\"; cat"},
                                     {.env = {{"TOLN_X", "x"}}, .input = "fed", .working_dir = at.get()});
    EXPECT_EQ(ran.stdout_bytes, "x|" + dir.string() + "-moved|fed");

    UniqueFd file(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    auto not_a_dir = run({"true", {}}, {.working_dir = file.get()});
    ASSERT_FALSE(not_a_dir);
    EXPECT_EQ(not_a_dir.error().message(), "failed to run true: Not a directory (os error 20)");
  });
}

// Callers that report a failure in their own words get its cause alone.
TEST_F(ProcessRunner, CauseAloneForCallersWithTheirOwnWords) {
  sandbox.run_in_process([] {
    auto missing = run({"toln-no-such-program", {}}, {.cause_only = true});
    ASSERT_FALSE(missing);
    EXPECT_EQ(display_agent_error(missing.error()), "No such file or directory (os error 2)");
    auto nul = run({"sh", {"-c", std::string("a\0b", 3)}}, {.cause_only = true});
    ASSERT_FALSE(nul);
    EXPECT_EQ(display_agent_error(nul.error()), "nul byte found in provided data");
  });
}

// A child whose standard output reaches the bound is killed there.
void stops_a_child_at_its_output_bound() {
  const CommandOutput ran = run_ok("yes", {}, {.bounds = {.stdout_bound = 100000, .kill_at_stdout_bound = true}});
  EXPECT_EQ(terminating_signal(ran.status), SIGKILL);
  EXPECT_EQ(ran.stdout_bytes.size(), 100000u);
  EXPECT_EQ(ran.stdout_bytes.substr(0, 4), "y\ny\n");
}

TEST_F(ProcessRunner, StopsAChildAtItsOutputBound) { sandbox.run_in_process(stops_a_child_at_its_output_bound); }

// Where the kernel (before Linux 5.3) or a container's seccomp profile
// refuses pidfd_open, a child is watched through waitpid: every guarantee
// above holds the same.
TEST_F(ProcessRunner, WorksWithoutProcessDescriptors) {
  for (const int refusal : {ENOSYS, EPERM}) {
    SCOPED_TRACE(refusal);
    sandbox.run_in_process([refusal] {
      ASSERT_NO_FATAL_FAILURE(testing::refuse_system_call(SYS_pidfd_open, refusal));
      ASSERT_EQ(::syscall(SYS_pidfd_open, ::getpid(), 0), -1);
      ASSERT_EQ(errno, refusal);
      keeps_the_raw_wait_status();
      drains_both_pipes_at_once();
      feeds_standard_input_from_a_thread();
      waits_for_the_child_not_its_descendants();
      a_dropped_child_is_killed_and_reaped();
      stops_a_child_at_its_output_bound();
    });
  }
}

}  // namespace
}  // namespace toln
