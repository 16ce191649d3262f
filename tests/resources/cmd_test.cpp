#include "resources/cmd.hpp"

#include <gtest/gtest.h>

#include "harness/sandbox.hpp"
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

}  // namespace
}  // namespace toln
