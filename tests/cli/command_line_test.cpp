// The command line as the operator meets it: help, version and usage errors
// of the real binary. None of these runs touches the host; the runs that go
// on to serve mode are in the sandbox.
#include <gtest/gtest.h>

#include <fstream>

#include "cli/agent_process.hpp"
#include "harness/sandbox.hpp"

namespace toln::test {
namespace {

using Args = std::vector<std::string>;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(CommandLine, VersionOnStdout) {
  for (const Args& args : {Args{"--version"}, Args{"-V"}, Args{"--dry-run", "--version"}}) {
    const AgentRun run = run_agent(args, "host = 1\n", {.stdin_mode = StdinMode::Unread});
    EXPECT_EQ(run.exit_code, 0) << args[0];
    EXPECT_EQ(run.out, "toln-agent 0.8.3\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.stdin_left, "host = 1\n");
  }
}

TEST(CommandLine, HelpOfTheCommand) {
  for (const Args& args : {Args{"--help"}, Args{"-h"}, Args{"help"}, Args{"--dry-run", "help"}}) {
    const AgentRun run = run_agent(args, "host = 1\n", {.stdin_mode = StdinMode::Unread});
    EXPECT_EQ(run.exit_code, 0) << args[0];
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(contains(run.out, "toln-agent")) << run.out;
    EXPECT_TRUE(contains(run.out, "--dry-run")) << run.out;
    EXPECT_TRUE(contains(run.out, "Dry-run the bundle from stdin (push mode); ignored with a subcommand")) << run.out;
    EXPECT_TRUE(contains(run.out, "--version")) << run.out;
    EXPECT_TRUE(contains(run.out, "serve")) << run.out;
    // The options of serve belong to its own help.
    EXPECT_FALSE(contains(run.out, "--source")) << run.out;
    EXPECT_EQ(run.stdin_left, "host = 1\n");
  }
}

TEST(CommandLine, HelpOfServe) {
  for (const Args& args : {Args{"help", "serve"}, Args{"serve", "--help"}, Args{"serve", "-h"},
                           Args{"serve", "--dry-run", "--help"}, Args{"--dry-run", "serve", "--dry-run", "--help"}}) {
    const AgentRun run = run_agent(args);
    EXPECT_EQ(run.exit_code, 0) << args[0] << " " << args[1];
    EXPECT_EQ(run.err, "");
    for (const char* part : {"toln-agent serve", "--source", "SOURCE", "Bundle source: a local file path or an http(s) URL",
                             "--interval", "INTERVAL", "--once", "--report-dir", "REPORT_DIR",
                             "Directory where per-run reports are written", "--dry-run"}) {
      EXPECT_TRUE(contains(run.out, part)) << part << " in:\n" << run.out;
    }
    EXPECT_FALSE(contains(run.out, "--version")) << run.out;
  }
}

TEST(CommandLine, UsageErrorsEndWithStatusTwo) {
  const Args cases[] = {
      {"--bogus"},
      {"-x"},
      {"bogus"},
      {"--source", "file.toml"},
      {"serve"},
      {"serve", "--once"},
      {"serve", "--interval", "5m"},
      {"serve", "--source"},
      {"serve", "--source", "file.toml", "--interval"},
      {"serve", "--source", "file.toml", "--bogus"},
      {"serve", "--source", "file.toml", "--version"},
      {"serve", "--source", "a\xFF"},
      {"serve", "--source", "file.toml", "--interval", "5\xC3"},
      {"--dry-run=false"},
      {"serve", "--source", "file.toml", "--once=false"},
      {"--help="},
      {"--version="},
      {"help", "bogus"},
      {"help", "serve", "bogus"},
  };
  for (const Args& args : cases) {
    const AgentRun run = run_agent(args, "host = 1\n", {.stdin_mode = StdinMode::Unread});
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    EXPECT_EQ(run.exit_code, 2) << shown;
    EXPECT_EQ(run.out, "") << shown;
    EXPECT_NE(run.err, "") << shown;
    // Nothing else ran: standard input was not read.
    EXPECT_EQ(run.stdin_left, "host = 1\n") << shown;
    EXPECT_FALSE(contains(run.err, "failed to")) << shown << run.err;
  }
}

// "--opt=" is the empty value, ignored or refused as serve mode decides; an
// option whose value is missing never takes the option after it. A parser
// that got this wrong would loop over a bundle file named "--once" in the
// last cases, so the runs have a short timeout.
TEST(CommandLine, EmptyAndMissingValuesInServeMode) {
  TOLN_REQUIRE_SANDBOX();
  testing::Sandbox sandbox;
  sandbox.set_run_timeout(std::chrono::seconds(20));
  std::ofstream(sandbox.scratch_dir() / "bundle.toml") << "host = \"h\"\nresources = []\n";
  const std::string summary = "serve: ok=0 changed=0 failed=0 skipped=0\n";
  const struct {
    Args args;
    int status;
    std::string err;  // whole, or a part of a usage error
  } cases[] = {
      {{"serve", "--interval=", "--once", "--source", "bundle.toml", "--report-dir", "reports"}, 1, summary},
      {{"serve", "--source", "bundle.toml", "--once", "--report-dir="}, 1, summary},
      {{"serve", "--source=", "--once", "--report-dir", "reports"},
       5,
       "serve error: config error: failed to read bundle from : No such file or directory (os error 2)\n"},
      {{"serve", "--interval=", "--source", "bundle.toml", "--report-dir", "reports"},
       5,
       "configuration error: config error: duration must not be empty\n"},
      {{"serve", "--source=--once", "--once", "--report-dir", "reports"},
       5,
       "serve error: config error: failed to read bundle from --once: No such file or directory (os error 2)\n"},
      {{"serve", "--source", "--once"}, 2, "--source"},
      {{"serve", "--interval", "--once", "--source", "bundle.toml"}, 2, "--interval"},
      {{"serve", "--source", "bundle.toml", "--report-dir", "--once"}, 2, "--report-dir"},
      {{"serve", "--source", "--", "--once"}, 2, "--source"},
      {{"serve", "--source", "--once", "--interval", "1s"}, 2, "--source"},
      // A flag takes no value, not even the empty one.
      {{"serve", "--source", "bundle.toml", "--once=", "--report-dir", "reports"}, 2, "--once"},
      {{"--dry-run=", "serve", "--source", "bundle.toml", "--once", "--report-dir", "reports"}, 2, "--dry-run"},
      {{"serve", "--dry-run=true", "--source", "bundle.toml", "--once", "--report-dir", "reports"}, 2, "--dry-run"},
      {{"serve", "--interval", "1s", "--source=", "--once"},
       5,
       "serve error: config error: failed to read bundle from : No such file or directory (os error 2)\n"},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const auto& a : c.args) shown += "[" + a + "]";
    const testing::RunResult run = sandbox.run_agent(c.args);
    EXPECT_EQ(run.exit_status, c.status) << shown << run.err;
    if (c.status == 2) {
      EXPECT_TRUE(contains(run.err, c.err)) << shown << run.err;
    } else {
      EXPECT_EQ(run.err, c.err) << shown;
    }
  }
  // An empty report directory is the working directory.
  bool reported_here = false;
  for (const auto& entry : std::filesystem::directory_iterator(sandbox.scratch_dir())) {
    reported_here |= entry.path().filename().string().ends_with("-serve.json");
  }
  EXPECT_TRUE(reported_here);
  EXPECT_EQ(sandbox.invocations_except("restorecon"), std::vector<testing::Invocation>{});
}

TEST(CommandLine, UsageErrorMessagesNameTheFault) {
  EXPECT_TRUE(contains(run_agent({"--bogus"}).err, "--bogus"));
  EXPECT_TRUE(contains(run_agent({"serve"}).err, "--source"));
  EXPECT_TRUE(contains(run_agent({"serve", "--source", "a\xFF"}).err, "UTF-8"));
  EXPECT_TRUE(contains(run_agent({"help", "bogus"}).err, "bogus"));
}

TEST(CommandLine, DryRunIsAcceptedInPushMode) {
  // The flag parses; the empty input then fails in the bundle parser.
  const AgentRun run = run_agent({"--dry-run"}, "");
  EXPECT_EQ(run.exit_code, 5);
  EXPECT_TRUE(contains(run.err, "missing field `host`")) << run.err;
}

TEST(CommandLine, HelpWithoutStdoutWhenDescriptorIsClosed) {
  // A closed standard output is reopened on /dev/null: the text is discarded.
  const AgentRun run = run_agent({"--help"}, "", {.stdout_mode = StdoutMode::Closed});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.err, "");
}

TEST(CommandLine, HelpIntoABrokenPipeIsAnInternalFailure) {
  for (const Args& args : {Args{"--help"}, Args{"--version"}, Args{"help", "serve"}}) {
    const AgentRun run = run_agent(args, "", {.stdout_mode = StdoutMode::BrokenPipe});
    EXPECT_EQ(run.exit_code, 101) << args[0];
    EXPECT_EQ(run.err, "failed printing to stdout: Broken pipe (os error 32)\n");
  }
}

TEST(CommandLine, UsageErrorWithStderrClosed) {
  const AgentRun run = run_agent({"--bogus"}, "", {.close_stderr = true});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.out, "");
}

}  // namespace
}  // namespace toln::test
