#include "resources/cmd.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>

#include "harness/sandbox.hpp"
#include "host/unique_fd.hpp"
#include "resources/agent_report.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

using testing::Sandbox;
using testing::error_of;
using testing::text;

ResolvedResource cmd(TomlTable props, std::optional<std::string> register_name = std::nullopt) {
  ResolvedResource r;
  r.resource_type = "cmd";
  r.name = "c";
  r.props = std::move(props);
  r.register_name = std::move(register_name);
  return r;
}

class CmdResource : public ::testing::Test {
 protected:
  void SetUp() override { TOLN_REQUIRE_SANDBOX(); }
  // Commands leave marks in the scratch directory, the working directory.
  Sandbox sandbox;
};

TEST_F(CmdResource, NeedsAGuardUnlessRegisteringOrAHandler) {
  sandbox.run_in_process([] {
    const auto bare = cmd({{"command", text("touch ran")}});
    EXPECT_EQ(error_of(apply_cmd(bare, false, false)),
              "resource error: cmd resource requires at least one guard: 'creates', 'unless', or 'onlyif' (or "
              "'register')");
    EXPECT_FALSE(std::filesystem::exists("ran"));
    auto as_handler = apply_cmd(bare, false, true);
    ASSERT_TRUE(as_handler);
    EXPECT_EQ(as_handler->status, ResourceStatus::Changed);
    EXPECT_FALSE(as_handler->diff);
    EXPECT_TRUE(std::filesystem::exists("ran"));

    auto missing = apply_cmd(cmd({{"command", TomlValue{std::int64_t{1}}}, {"creates", text("/")}}), false, false);
    EXPECT_EQ(error_of(missing), "resource error: cmd resource requires 'command'");
  });
}

TEST_F(CmdResource, Guards) {
  sandbox.run_in_process([] {
    struct Case {
      TomlTable guards;
      ResourceStatus status;
      bool runs;
    } cases[] = {
        {{{"creates", text("/")}, {"unless", text("touch unless-ran")}}, ResourceStatus::Ok, false},
        {{{"creates", text("dangling")}}, ResourceStatus::Changed, true},
        // A path that cannot be looked up is missing, not an error.
        {{{"creates", text(std::string("/\0etc", 5))}}, ResourceStatus::Changed, true},
        {{{"unless", text("exit 0")}}, ResourceStatus::Ok, false},
        {{{"unless", text("exit 1")}, {"onlyif", text("exit 0")}}, ResourceStatus::Changed, true},
        {{{"onlyif", text("exit 1")}}, ResourceStatus::Ok, false},
        {{{"onlyif", text("kill -9 $$")}}, ResourceStatus::Ok, false},
    };
    std::filesystem::create_symlink("/nonexistent-target", "dangling");
    for (auto& c : cases) {
      std::filesystem::remove("ran");
      TomlTable props = c.guards;
      props["command"] = text("touch ran");
      auto result = apply_cmd(cmd(props), false, false);
      ASSERT_TRUE(result) << error_of(result);
      EXPECT_EQ(result->status, c.status);
      EXPECT_EQ(std::filesystem::exists("ran"), c.runs);
    }
    EXPECT_FALSE(std::filesystem::exists("unless-ran")) << "creates decides before unless runs";
  });
}

TEST_F(CmdResource, DryRunRunsGuardsButNotTheCommand) {
  sandbox.run_in_process([] {
    auto result = apply_cmd(cmd({{"command", text("touch ran")}, {"unless", text("touch guard-ran; exit 1")}}),
                            true, false);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, ResourceStatus::Changed);
    EXPECT_EQ(result->diff, "would run: touch ran");
    EXPECT_TRUE(std::filesystem::exists("guard-ran"));
    EXPECT_FALSE(std::filesystem::exists("ran"));

    auto with_stdin = apply_cmd(cmd({{"command", text("cat")}, {"stdin", text("x")}}, "r"), true, false);
    EXPECT_EQ(with_stdin->diff, "would run: cat (with stdin)");
    auto integer_stdin = apply_cmd(cmd({{"command", text("cat")}, {"stdin", TomlValue{std::int64_t{3}}}}, "r"), true, false);
    EXPECT_EQ(integer_stdin->diff, "would run: cat");
  });
}

TEST_F(CmdResource, FailureCarriesStandardError) {
  sandbox.run_in_process([] {
    auto result = apply_cmd(cmd({{"command", text("echo out; echo 'it broke' >&2; exit 3")}}, "r"), false, false);
    EXPECT_EQ(error_of(result), "resource error: command failed: it broke\n");
  });
}

TEST_F(CmdResource, RegisterCapturesTrimmedOutput) {
  sandbox.run_in_process([] {
    auto result = apply_cmd(cmd({{"command", text("printf '  hello\\n\\n'")}}, ""), false, false);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, ResourceStatus::Changed);
    EXPECT_EQ(result->output, "hello");

    auto unregistered = apply_cmd(cmd({{"command", text("echo hi")}, {"unless", text("false")}}), false, false);
    EXPECT_FALSE(unregistered->output);

    auto fed = apply_cmd(cmd({{"command", text("tr a-z A-Z")}, {"stdin", text("abc")}}, "r"), false, false);
    EXPECT_EQ(fed->output, "ABC");
  });
}

TEST_F(CmdResource, RegisterOutputIsCutAt64KiB) {
  sandbox.run_in_process([] {
    auto long_output = apply_cmd(cmd({{"command", text("head -c 70000 /dev/zero | tr '\\0' a")}}, "r"), false, false);
    ASSERT_TRUE(long_output);
    EXPECT_EQ(long_output->output, std::string(65536, 'a'));
    // 65535 ASCII bytes then a two-byte character: the cut falls before it.
    auto split = apply_cmd(cmd({{"command", text("head -c 65535 /dev/zero | tr '\\0' a; printf '\\303\\251'")}}, "r"),
                           false, false);
    EXPECT_EQ(split->output, std::string(65535, 'a'));
  });
  std::string text = std::string(65536, 'a');
  truncate_register_output(text);
  EXPECT_EQ(text.size(), 65536u);
}

TEST_F(CmdResource, TruncationWarningGoesToStandardError) {
  const auto run = sandbox.run_agent({}, R"(host = "h"
[[resources]]
resource_type = "cmd"
name = "big"
register = "r"
props = { command = "head -c 70000 /dev/zero | tr '\\0' a" }
)");
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.err, "warning: cmd.big register output truncated to 65536 bytes\n");
}

// A daemon started from a command keeps the output pipes open; the run
// ends with the command all the same, its output kept.
TEST_F(CmdResource, BackgroundChildrenDoNotHoldTheRun) {
  sandbox.set_run_timeout(std::chrono::seconds(20));
  const testing::AgentReport report = testing::run_bundle(sandbox, R"(host = "h"
[[resources]]
resource_type = "cmd"
name = "daemon"
register = "r"
props = { command = "sleep 300 & echo started" }
[[resources]]
resource_type = "cmd"
name = "fed-daemon"
register = "f"
props = { command = "sleep 300 & head -c 3 && echo ' started'", stdin = "fed and more" }
)", false);
  EXPECT_FALSE(report.run.timed_out);
  EXPECT_EQ(report.run.exit_status, 0) << report.run.err;
  EXPECT_EQ(report.entry("daemon")["output"], "started");
  EXPECT_EQ(report.entry("fed-daemon")["output"], "fed started");
}

// A sensitive resource's shell texts reach the shell as its script, a
// sealed memory file of the agent's, never as an argument; standard input
// stays the command's, and what the script starts inherits no descriptor of
// it.
TEST_F(CmdResource, SensitiveTextsAreTheShellsScriptNotItsArgument) {
  sandbox.run_in_process([] {
    ResolvedResource secret = cmd({{"command", text("printf '%s|' \"$0\"; cat; printf '|'; ls -l /proc/self/fd/")},
                                   {"unless", text("case \"$0\" in /proc/*/fd/*) exit 1 ;; esac")},
                                   {"onlyif", text("case \"$0\" in /proc/*/fd/*) exit 0 ;; esac; exit 1")},
                                   {"stdin", text("fed")}},
                                  "r");
    secret.sensitive = true;
    auto ran = apply_cmd(secret, false, false);
    ASSERT_TRUE(ran) << error_of(ran);
    ASSERT_EQ(ran->status, ResourceStatus::Changed) << "the guards ran as scripts too";
    const std::string output = ran->output.value_or("");
    const std::string script = "/proc/" + std::to_string(::getpid()) + "/fd/";
    EXPECT_TRUE(output.starts_with(script)) << output;
    EXPECT_NE(output.find("|fed|"), std::string::npos) << output;
    EXPECT_EQ(output.find("memfd"), std::string::npos) << output;

    ResolvedResource nul = cmd({{"command", text(std::string("true\0x", 6))}}, "r");
    nul.sensitive = true;
    EXPECT_EQ(error_of(apply_cmd(nul, false, false)),
              "resource error: failed to run sh: nul byte found in provided data");
  });
}

// Opens the FIFO for writing once a reader holds it: the shell that blocks
// on it is running. Meanwhile the agent is fed its bundle and drained.
// Invalid if no reader comes within the guard time.
UniqueFd open_gate(testing::ChildProcess& agent, const std::filesystem::path& fifo) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    UniqueFd gate(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    if (gate.valid() || errno != ENXIO || std::chrono::steady_clock::now() > deadline) return gate;
    agent.wait_until([] { return false; }, std::chrono::milliseconds(10));
  }
}

// Every process's argument list, as any local user reads it (ps).
std::vector<std::string> command_lines() {
  std::vector<std::string> lines;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (auto line = testing::read_file(entry.path() / "cmdline")) lines.push_back(std::move(*line));
  }
  return lines;
}

// A bearer token in a sensitive command or guard never shows in the process
// list: each blocks on a FIFO the test holds while it reads the argument
// list of every process.
TEST_F(CmdResource, ASensitiveTextStaysOutOfTheProcessList) {
  for (const char* gate : {"gate-unless", "gate-onlyif", "gate-command"}) {
    ASSERT_EQ(::mkfifo((sandbox.scratch_dir() / gate).c_str(), 0600), 0);
  }
  // Made here, so that no other process on the machine holds it.
  const std::string secret = "TOLN-SECRET-" + std::to_string(::getpid());
  std::string bundle = R"(host = "h"
[[resources]]
resource_type = "cmd"
name = "secret"
sensitive = true
props = { unless = "read x < gate-unless; [ \"$x\" = {S} ]", onlyif = "read x < gate-onlyif; : {S}", command = "read x < gate-command; : {S}" }
)";
  for (std::size_t at = 0; (at = bundle.find("{S}", at)) != std::string::npos;) bundle.replace(at, 3, secret);
  testing::ChildProcess agent = sandbox.start_agent({}, bundle);
  for (const char* gate : {"gate-unless", "gate-onlyif", "gate-command"}) {
    SCOPED_TRACE(gate);
    const UniqueFd held = open_gate(agent, sandbox.scratch_dir() / gate);
    ASSERT_TRUE(held.valid()) << "the shell never opened " << gate << ": " << agent.err();
    bool shell_seen = false;
    for (const std::string& line : command_lines()) {
      EXPECT_EQ(line.find(secret), std::string::npos) << line;
      shell_seen = shell_seen || line.starts_with(std::string("sh\0/proc/", 9));
    }
    EXPECT_TRUE(shell_seen) << "the blocked shell shows in the list";
    ASSERT_EQ(::write(held.get(), "x\n", 2), 2);
  }
  const auto result = agent.wait_exit(std::chrono::seconds(60));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->exit_status, 0) << result->err;
  EXPECT_EQ(result->out,
            R"({"host":"h","resources":[{"type":"cmd","name":"secret","status":"changed"}],"summary":{"changed":1,"ok":0,"failed":0,"skipped":0}})"
            "\n");
}

}  // namespace
}  // namespace toln
