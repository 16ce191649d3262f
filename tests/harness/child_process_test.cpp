#include "harness/child_process.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "harness/temp_dir.hpp"

namespace toln::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

ChildSpec shell(const std::string& command) {
  ChildSpec spec;
  spec.program = "/bin/sh";
  spec.argv = {"sh", "-c", command};
  spec.env = {"PATH=/usr/bin:/bin"};
  return spec;
}

TEST(ChildProcess, ExitStatusAndOutputs) {
  const RunResult result = run_program(shell("printf out; printf err >&2; exit 7"), {});
  EXPECT_EQ(result.exit_status, 7);
  EXPECT_EQ(result.term_signal, 0);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.out, "out");
  EXPECT_EQ(result.err, "err");
}

TEST(ChildProcess, DeathBySignal) {
  const RunResult result = run_program(shell("kill -USR1 $$"), {});
  EXPECT_EQ(result.exit_status, -1);
  EXPECT_EQ(result.term_signal, SIGUSR1);
}

// Far beyond the pipe buffers, in both directions at once.
TEST(ChildProcess, LargeInputAndOutputsDoNotDeadlock) {
  const std::string input(8 << 20, 'x');
  const RunResult echoed = run_program(shell("cat; head -c 3000000 /dev/zero >&2"), input);
  EXPECT_EQ(echoed.exit_status, 0);
  EXPECT_EQ(echoed.out.size(), input.size());
  EXPECT_EQ(echoed.out, input);
  EXPECT_EQ(echoed.err, std::string(3000000, '\0'));
}

TEST(ChildProcess, ChildThatStopsReadingIsNoError) {
  const RunResult result = run_program(shell("head -c 3; exit 4"), std::string(1 << 20, 'y'));
  EXPECT_EQ(result.exit_status, 4);
  EXPECT_EQ(result.out, "yyy");
}

TEST(ChildProcess, SignalStateIsDefaultInTheChild) {
  // Ignored SIGPIPE would survive exec; the child must get the default.
  struct sigaction ignore {
  }, old{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);
  const RunResult result = run_program(shell("grep -E '^Sig(Ign|Blk)' /proc/self/status"), {});
  sigaction(SIGPIPE, &old, nullptr);
  EXPECT_EQ(result.out, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

TEST(ChildProcess, ExecFailureIsASetupFailure) {
  ChildSpec spec = shell("");
  spec.program = "/nonexistent/program";
  const RunResult result = run_program(spec, {});
  EXPECT_EQ(result.exit_status, kSetupFailedStatus);
  EXPECT_EQ(result.err, std::string(kSetupFailurePrefix) + "exec of /nonexistent/program failed: errno 2\n");
}

// The timeout leaves the shell time to start and print, even on a busy
// machine (it took well under a second beside eight busy loops).
TEST(ChildProcess, TimeoutKillsTheChild) {
  const RunResult result = run_program(shell("echo started; exec sleep 100"), {}, milliseconds(5000));
  EXPECT_TRUE(result.timed_out);
  EXPECT_EQ(result.term_signal, SIGKILL);
  EXPECT_EQ(result.out, "started\n");
}

bool process_gone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const auto state = line.find(") ");
  return state != std::string::npos && line[state + 2] == 'Z';
}

pid_t read_pid(const std::filesystem::path& file) {
  std::ifstream in(file);
  pid_t pid = 0;
  in >> pid;
  return pid;
}

// A background process that keeps the output pipes open neither holds up
// the run nor outlives it.
TEST(ChildProcess, LeftoverProcessesAreKilled) {
  TempDir dir("toln-child-test");
  const auto pid_file = dir.path() / "pid";
  const RunResult result =
      run_program(shell("sleep 100 & echo $! > " + pid_file.string() + "; echo done"), {}, seconds(20));
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, "done\n");
  const pid_t sleeper = read_pid(pid_file);
  ASSERT_GT(sleeper, 0);
  for (int i = 0; i < 600 && !process_gone(sleeper); ++i) std::this_thread::sleep_for(milliseconds(50));
  EXPECT_TRUE(process_gone(sleeper));
}

TEST(ChildProcess, WaitForErrThenStop) {
  ChildProcess child(shell("echo one >&2; sleep 0.2; echo two >&2; exec sleep 100"), {});
  EXPECT_TRUE(child.wait_for_err([](std::string_view err) { return err.find("two") != err.npos; }, seconds(10)));
  EXPECT_EQ(child.err(), "one\ntwo\n");
  EXPECT_FALSE(child.wait_exit(milliseconds(100)));
  const RunResult result = child.stop();
  EXPECT_EQ(result.term_signal, SIGTERM);
  EXPECT_TRUE(child.exited());
}

TEST(ChildProcess, StopEscalatesToSigkill) {
  ChildProcess child(shell("trap '' TERM; echo ready; while :; do sleep 0.05; done"), {});
  ASSERT_TRUE(child.wait_until([&] { return child.out() == "ready\n"; }, seconds(10)));
  EXPECT_EQ(child.stop(milliseconds(200)).term_signal, SIGKILL);
}

TEST(ChildProcess, WaitExitGivesTheResult) {
  ChildProcess child(shell("cat; exit 9"), "fed\n");
  const auto result = child.wait_exit(seconds(10));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->exit_status, 9);
  EXPECT_EQ(result->out, "fed\n");
}

}  // namespace
}  // namespace toln::testing
