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

namespace toln {
namespace {

using testing::Sandbox;

class ProcessRunner : public ::testing::Test {
 protected:
  void SetUp() override { TOLN_REQUIRE_SANDBOX(); }
  Sandbox sandbox;
};

CommandOutput run_ok(std::string_view program, const std::vector<std::string>& args) {
  auto output = run_command(program, args);
  EXPECT_TRUE(output) << (output ? "" : display_agent_error(output.error()));
  return output ? *output : CommandOutput{};
}

TEST_F(ProcessRunner, KeepsTheRawWaitStatus) {
  sandbox.run_in_process([] {
    EXPECT_EQ(run_ok("sh", {"-c", "exit 0"}).status, 0);
    EXPECT_EQ(run_ok("sh", {"-c", "exit 1"}).status, 256);
    EXPECT_EQ(run_ok("sh", {"-c", "kill -9 $$"}).status, 9);
    EXPECT_EQ(exit_code(256), 1);
    EXPECT_EQ(terminating_signal(9), 9);
    EXPECT_FALSE(exit_code(9));
  });
}

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
    auto missing = run_command("toln-only-here", {});
    ASSERT_FALSE(missing);
    EXPECT_EQ(display_agent_error(missing.error()),
              "resource error: failed to run toln-only-here: No such file or directory (os error 2)");
    // A name with a slash is a path.
    EXPECT_EQ(run_ok(scratch + "/toln-only-here", {}).stdout_bytes, "found\n");
    auto nul = run_command("sh", {"-c", std::string("echo a\0b", 8)});
    ASSERT_FALSE(nul);
    EXPECT_EQ(nul.error().message(), "failed to run sh: nul byte found in provided data");
  });
}

TEST_F(ProcessRunner, DrainsBothPipesAtOnce) {
  sandbox.run_in_process([] {
    const CommandOutput big =
        run_ok("sh", {"-c", "head -c 3000000 /dev/zero; head -c 3000000 /dev/zero >&2; head -c 10 /dev/zero"});
    EXPECT_EQ(big.stdout_bytes.size(), 3000010u);
    EXPECT_EQ(big.stderr_bytes.size(), 3000000u);
  });
}

TEST_F(ProcessRunner, FeedsStandardInputFromAThread) {
  sandbox.run_in_process([] {
    const std::string input(4000000, 'x');
    // Megabytes out on both pipes before the child reads a byte of input.
    auto echoed = run_command_stdin(
        "sh", {"-c", "head -c 2000000 /dev/zero; head -c 2000000 /dev/zero >&2; cat"}, input);
    ASSERT_TRUE(echoed);
    EXPECT_EQ(echoed->stdout_bytes.size(), 6000000u);
    EXPECT_EQ(echoed->stderr_bytes.size(), 2000000u);

    auto ignored = run_command_stdin("true", {}, input);
    ASSERT_TRUE(ignored) << "a child that never reads is no error";
    EXPECT_EQ(ignored->status, 0);

    auto empty = run_command_stdin("cat", {}, "");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->stdout_bytes, "");

    auto missing = run_command_stdin("toln-no-such-program", {}, "x");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message(),
              "failed to spawn toln-no-such-program: No such file or directory (os error 2)");
  });
}

TEST_F(ProcessRunner, WritesStandardOutputIntoACallersDescriptor) {
  sandbox.run_in_process([] {
    UniqueFd file(::open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    ASSERT_TRUE(file.valid());
    auto ran = run_command_to_fd("sh", {"-c", "head -c 3000000 /dev/zero; echo warned >&2; cat; exit 3"}, file.get());
    ASSERT_TRUE(ran);
    EXPECT_EQ(ran->status, 3 << 8);
    EXPECT_EQ(ran->stdout_bytes, "");
    EXPECT_EQ(ran->stderr_bytes, "warned\n");
    struct stat st {};
    ASSERT_EQ(::fstat(file.get(), &st), 0);
    EXPECT_EQ(st.st_size, 3000000) << "standard input is /dev/null, so cat added nothing";

    auto missing = run_command_to_fd("toln-no-such-program", {}, file.get());
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message(),
              "failed to run toln-no-such-program: No such file or directory (os error 2)");
    // A descriptor the child cannot be given fails the start rather than
    // leave the child writing into the agent's own standard output.
    for (const int bad : {-1, 1 << 30}) {
      auto refused = run_command_to_fd("sh", {"-c", "echo leaked"}, bad);
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
    EXPECT_EQ(exact.stdout_bytes.size(), kCapturedStreamBound);
    EXPECT_FALSE(exact.stdout_cut);
    EXPECT_EQ(stdout_text(exact).size(), kCapturedStreamBound);

    const CommandOutput flood = run_ok("sh", {"-c", "head -c 100000000 /dev/zero | tr '\\0' e >&2; echo done"});
    EXPECT_EQ(flood.stdout_bytes, "done\n");
    EXPECT_FALSE(flood.stdout_cut);
    EXPECT_EQ(flood.stderr_bytes, std::string(kCapturedStreamBound, 'e'));
    EXPECT_TRUE(flood.stderr_cut);
    EXPECT_TRUE(stderr_text(flood).ends_with("eee...(truncated)"));

    auto failed = run_checked("sh", {"-c", "head -c 70000000 /dev/zero | tr '\\0' e >&2; exit 1"}, "flood");
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message(), "flood failed: " + std::string(kCapturedStreamBound, 'e') + "...(truncated)");
  });
}

// Once the child has exited, what is in its pipes is its output: a
// background child that keeps them open, even writing on, does not hold the
// call, nor does one that keeps standard input open without reading it.
TEST_F(ProcessRunner, WaitsForTheChildNotItsDescendants) {
  sandbox.run_in_process([] {
    const auto started = std::chrono::steady_clock::now();
    const CommandOutput quiet = run_ok("sh", {"-c", "sleep 300 & echo $!; echo started >&2"});
    const CommandOutput noisy = run_ok("sh", {"-c", "yes >&2 & echo $!"});
    auto fed = run_command_stdin("sh", {"-c", "sleep 300 & echo $!"}, std::string(8 << 20, 'x'));
    ASSERT_TRUE(fed);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    EXPECT_EQ(quiet.stderr_bytes, "started\n");
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(fed->status, 0);
    for (const std::string& pid : {quiet.stdout_bytes, noisy.stdout_bytes, fed->stdout_bytes}) {
      EXPECT_EQ(::kill(std::stoi(pid), SIGKILL), 0) << "the background child is left running: " << pid;
    }
  });
}

// Whoever drops a child that is still running, its writer blocked on a full
// pipe, leaves neither a process nor a zombie behind.
TEST_F(ProcessRunner, ADroppedChildIsKilledAndReaped) {
  sandbox.run_in_process([] {
    {
      auto spawned = spawn_child("sleep", {"300"}, {}, StdinMode::Pipe);
      ASSERT_TRUE(std::holds_alternative<OwnedChild>(spawned));
      EXPECT_EQ(std::get<OwnedChild>(spawned).feed_stdin(std::string(8 << 20, 'x')), std::nullopt);
    }
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD) << "a child of this process is left";
  });
}

TEST_F(ProcessRunner, ExtraEnvironmentEntries) {
  sandbox.run_in_process([] {
    auto set = run_command_env("sh", {"-c", "printf %s \"$TOLN_PARAM_x\""}, {{"TOLN_PARAM_x", "8080"}});
    ASSERT_TRUE(set);
    EXPECT_EQ(set->stdout_bytes, "8080");

    auto nul = run_command_env("sh", {"-c", "exit 0"}, {{"TOLN_PARAM_x", std::string("a\0b", 3)}});
    ASSERT_FALSE(nul);
    EXPECT_EQ(nul.error().message(),
              "env var TOLN_PARAM_x contains a NUL byte, which is not allowed in process environment values");

    for (const std::string& name : {std::string("TOLN_PARAM_a=b"), std::string("TOLN_PARAM_a\0b", 14), std::string()}) {
      auto refused = run_command_env("sh", {"-c", "exit 0"}, {{name, "v"}});
      ASSERT_FALSE(refused) << name;
      EXPECT_TRUE(refused.error().message().starts_with("env var name '")) << refused.error().message();
    }
  });
}

TEST_F(ProcessRunner, RunCheckedNeedsStatusZero) {
  sandbox.run_in_process([] {
    EXPECT_TRUE(run_checked("sh", {"-c", "exit 0"}, "ok"));
    auto failed = run_checked("sh", {"-c", "echo boom >&2; exit 2"}, "demo step");
    ASSERT_FALSE(failed);
    EXPECT_EQ(display_agent_error(failed.error()), "resource error: demo step failed: boom\n");
  });
}

}  // namespace
}  // namespace toln
