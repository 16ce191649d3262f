// Serve mode end to end with file sources: the real binary in the sandbox.
#include <gtest/gtest.h>

#include "harness/sandbox.hpp"
#include "serve/serve_support.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using namespace serve_testing;
using testing::RunResult;
using testing::Sandbox;

constexpr std::string_view kDryRunWarning =
    "warning: --dry-run is ignored in serve mode; serve always applies the bundle\n";

class ServeMode : public ::testing::Test {
 protected:
  void SetUp() override { TOLN_REQUIRE_SANDBOX(); }
  fs::path scratch(const std::string& name) const { return sandbox.scratch_dir() / name; }
  RunResult once(const std::string& source, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"serve", "--source", source, "--once", "--report-dir", "reports"};
    args.insert(args.end(), extra.begin(), extra.end());
    return sandbox.run_agent(args);
  }
  Sandbox sandbox;
};

TEST_F(ServeMode, OnceRunsAFileBundleAndLeavesAScrubbedReport) {
  write_file(scratch("bundle.toml"),
             bundle(cmd("make", R"~({ command = "touch ran", creates = "ran" })~") +
                    cmd("secret", R"~({ command = "echo s3cr3t" })~", "register = \"token\"\n")));
  // Standard input is never read in serve mode.
  const RunResult result = sandbox.run_agent(
      {"serve", "--source", "bundle.toml", "--once", "--report-dir", "reports"},
      bundle(cmd("stdin", R"~({ command = "touch from-stdin", creates = "from-stdin" })~")));
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "serve: ok=0 changed=2 failed=0 skipped=0\n");
  EXPECT_TRUE(fs::exists(scratch("ran")));
  EXPECT_FALSE(fs::exists(scratch("from-stdin")));

  const auto names = names_in(scratch("reports"));
  ASSERT_EQ(names.size(), 1u);
  ASSERT_TRUE(names[0].ends_with("-serve.json")) << names[0];
  const std::string run_id = names[0].substr(0, names[0].size() - 11);
  ASSERT_TRUE(looks_like_run_id(run_id)) << names[0];
  // The register's output is in the push-mode report, never in the file.
  EXPECT_EQ(read_file(scratch("reports") / names[0]),
            "{\n"
            "  \"source\": \"bundle.toml\",\n"
            "  \"summary\": {\n"
            "    \"host\": \"h\",\n"
            "    \"resources\": [\n"
            "      {\n"
            "        \"name\": \"make\",\n"
            "        \"status\": \"changed\",\n"
            "        \"type\": \"cmd\"\n"
            "      },\n"
            "      {\n"
            "        \"name\": \"secret\",\n"
            "        \"status\": \"changed\",\n"
            "        \"type\": \"cmd\"\n"
            "      }\n"
            "    ],\n"
            "    \"summary\": {\n"
            "      \"changed\": 2,\n"
            "      \"failed\": 0,\n"
            "      \"ok\": 0,\n"
            "      \"skipped\": 0\n"
            "    }\n"
            "  },\n"
            "  \"timestamp\": \"" +
                run_id + "\"\n}");
}

TEST_F(ServeMode, OnceEndsWithThePushModeRuleOrFiveForAFailedCycle) {
  const std::string ok = cmd("ok", R"~({ command = "true", creates = "/" })~");
  const std::string failed = cmd("failed", R"~({ command = "false", unless = "false" })~");
  const std::string skipped = cmd("skipped", R"~({ command = "true", creates = "/" })~", "when = \"nothing\"\n");
  struct Case {
    std::string bundle;  // none: the file is missing
    int status;
    std::string err;
    bool report;
  } cases[] = {
      {bundle(ok), 1, "serve: ok=1 changed=0 failed=0 skipped=0\n", true},
      {bundle(skipped), 1, "serve: ok=0 changed=0 failed=0 skipped=1\n", true},
      {bundle(failed), 3, "serve: ok=0 changed=0 failed=1 skipped=0\n", true},
      {bundle(failed + skipped), 3, "serve: ok=0 changed=0 failed=1 skipped=1\n", true},
      {bundle(failed + ok), 2, "serve: ok=1 changed=0 failed=1 skipped=0\n", true},
      {bundle("resources = []\n"), 1, "serve: ok=0 changed=0 failed=0 skipped=0\n", true},
      {"", 5,
       "serve error: config error: failed to read bundle from bundle.toml: No such file or directory (os error 2)\n",
       false},
      {"host = 1\n", 5, "", false},
      {bundle(cmd("a", R"~({ command = "touch ran" })~", "after = [\"cmd.nothing\"]\n")), 5,
       "serve error: config error: resource cmd.a depends on unknown resource cmd.nothing\n", false},
  };
  for (const auto& c : cases) {
    fs::remove_all(scratch("reports"));
    fs::remove(scratch("bundle.toml"));
    if (!c.bundle.empty()) write_file(scratch("bundle.toml"), c.bundle);
    const RunResult result = once("bundle.toml");
    EXPECT_EQ(result.exit_status, c.status) << c.bundle << result.err;
    if (c.err.empty()) {
      EXPECT_TRUE(result.err.starts_with("serve error: parse error: failed to parse bundle: ")) << result.err;
    } else {
      EXPECT_EQ(result.err, c.err);
    }
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(names_in(scratch("reports")).size(), c.report ? 1u : 0u) << c.bundle;
  }
  EXPECT_FALSE(fs::exists(scratch("ran")));
}

TEST_F(ServeMode, ConfigurationErrorsEndWithFiveBeforeTheFirstCycle) {
  write_file(scratch("bundle.toml"), touch_ran());
  const std::string zero = "configuration error: config error: --interval must be greater than zero; a zero duration "
                           "would busy-loop\n";
  struct Case {
    std::vector<std::string> interval;
    std::string err;
  } cases[] = {
      {{}, "configuration error: config error: --interval is required when --once is not set; pass e.g. --interval "
           "5m\n"},
      {{"--interval", "0"}, zero},
      {{"--interval", "0s"}, zero},
      {{"--interval", "00h"}, zero},
      {{"--interval", "1.5h"}, "configuration error: config error: duration must be an integer (no decimals): 1.5h\n"},
      {{"--interval", "5 s"},
       "configuration error: config error: duration numeric part is not a valid non-negative integer: 5 s\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"serve", "--source", "bundle.toml", "--report-dir", "reports"};
    args.insert(args.end(), c.interval.begin(), c.interval.end());
    const RunResult result = sandbox.run_agent(args);
    EXPECT_EQ(result.exit_status, 5);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, "");
  }
  EXPECT_FALSE(fs::exists(scratch("ran"))) << "no cycle ran";
  EXPECT_FALSE(fs::exists(scratch("reports")));

  // With --once the interval is neither parsed nor checked.
  for (const std::string interval : {"0", "bogus"}) {
    fs::remove(scratch("ran"));
    const RunResult result = once("bundle.toml", {"--interval", interval});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.err, "serve: ok=0 changed=1 failed=0 skipped=0\n");
    EXPECT_TRUE(fs::exists(scratch("ran")));
  }
}

TEST_F(ServeMode, DryRunIsIgnoredWithOneWarningBeforeOrAfterServe) {
  write_file(scratch("bundle.toml"), touch_ran());
  const std::vector<std::string> serve = {"serve", "--source", "bundle.toml", "--once", "--report-dir", "reports"};
  std::vector<std::string> before = {"--dry-run"};
  before.insert(before.end(), serve.begin(), serve.end());
  std::vector<std::string> after = serve;
  after.push_back("--dry-run");
  std::vector<std::string> both = before;
  both.push_back("--dry-run");
  for (const auto& args : {before, after, both}) {
    fs::remove(scratch("ran"));
    const RunResult result = sandbox.run_agent(args);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.err, std::string(kDryRunWarning) + "serve: ok=0 changed=1 failed=0 skipped=0\n");
    EXPECT_TRUE(fs::exists(scratch("ran"))) << "the bundle is applied";
  }
  // The warning comes before the configuration is checked.
  const RunResult bad = sandbox.run_agent({"--dry-run", "serve", "--source", "bundle.toml"});
  EXPECT_EQ(bad.exit_status, 5);
  EXPECT_TRUE(bad.err.starts_with(std::string(kDryRunWarning) + "configuration error: ")) << bad.err;
}

TEST_F(ServeMode, FileSourcesAreBoundedAndMustBeUtf8) {
  const std::size_t limit = 67108864;
  const std::string head = bundle("resources = []\n") + "#";
  std::string exact = head + std::string(limit - head.size() - 1, 'a') + "\n";
  ASSERT_EQ(exact.size(), limit);
  write_file(scratch("exact.toml"), exact);
  exact.insert(head.size(), "a");
  write_file(scratch("over.toml"), exact);
  exact.clear();
  exact.shrink_to_fit();
  write_file(scratch("latin1.toml"), "host = \"caf\xe9\"\n");
  fs::create_directory(scratch("dir.toml"));

  struct Case {
    std::string source;
    int status;
    std::string err;
  } cases[] = {
      {"exact.toml", 1, "serve: ok=0 changed=0 failed=0 skipped=0\n"},
      {"over.toml", 5, "serve error: config error: input too large: exceeds 67108864 bytes\n"},
      {"latin1.toml", 5,
       "serve error: parse error: input is not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 11\n"},
      {"dir.toml", 5, "serve error: Is a directory (os error 21)\n"},
      // Only http:// and https:// in lower case are URLs.
      {"HTTP://127.0.0.1:9/b.toml", 5,
       "serve error: config error: failed to read bundle from HTTP://127.0.0.1:9/b.toml: No such file or directory "
       "(os error 2)\n"},
      {"file://" + scratch("exact.toml").string(), 5,
       "serve error: config error: failed to read bundle from file://" + scratch("exact.toml").string() +
           ": No such file or directory (os error 2)\n"},
  };
  for (const auto& c : cases) {
    const RunResult result = once(c.source);
    EXPECT_EQ(result.exit_status, c.status) << c.source;
    EXPECT_EQ(result.err, c.err) << c.source;
  }
  fs::remove(scratch("exact.toml"));
  fs::remove(scratch("over.toml"));
}

TEST_F(ServeMode, ReportDirectories) {
  write_file(scratch("bundle.toml"), touch_ran());
  // Relative to the working directory, with every missing parent.
  RunResult result = sandbox.run_agent({"serve", "--source", "bundle.toml", "--once", "--report-dir", "a/b/c"});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(names_in(scratch("a/b/c")).size(), 1u);

  // The default directory, in an overlay of /var/lib.
  sandbox.overlay("/var/lib");
  result = sandbox.run_agent({"serve", "--source", "bundle.toml", "--once"});
  EXPECT_EQ(result.exit_status, 1) << result.err;
  const auto defaults = names_in(sandbox.upper_path("/var/lib/toln/runs"));
  ASSERT_EQ(defaults.size(), 1u);
  EXPECT_TRUE(defaults[0].ends_with("-serve.json")) << defaults[0];

  // A regular file in the directory's place fails the cycle after the run,
  // without a summary line.
  write_file(scratch("taken"), "");
  fs::remove(scratch("ran"));
  result = sandbox.run_agent({"serve", "--source", "bundle.toml", "--once", "--report-dir", "taken"});
  EXPECT_EQ(result.exit_status, 5);
  EXPECT_EQ(result.err, "serve error: failed to create report dir: Not a directory (os error 20)\n");
  EXPECT_TRUE(fs::exists(scratch("ran")));
}

TEST_F(ServeMode, LoopGoesOnAfterFailedCyclesAndSleepsBetweenCycles) {
  const auto started = std::chrono::steady_clock::now();
  auto agent = sandbox.start_agent({"serve", "--source", "bundle.toml", "--interval", "1s", "--report-dir", "reports"});
  const std::string missing =
      "serve error: config error: failed to read bundle from bundle.toml: No such file or directory (os error 2)";
  ASSERT_TRUE(agent.wait_for_err([](std::string_view err) { return count_lines_starting(err, "serve error: ") >= 2; },
                                 std::chrono::seconds(20)))
      << agent.err();
  write_file(scratch("bundle.toml"), touch_ran());
  ASSERT_TRUE(agent.wait_for_err([](std::string_view err) { return count_lines_starting(err, "serve: ") >= 2; },
                                 std::chrono::seconds(20)))
      << agent.err();
  const auto seen = std::chrono::steady_clock::now();
  const RunResult result = agent.stop();
  EXPECT_EQ(result.out, "");

  // Failed cycles first, then the repaired source's cycles, one line each.
  const auto lines = lines_of(result.err);
  ASSERT_GE(lines.size(), 4u) << result.err;
  std::size_t i = 0;
  while (i < lines.size() && lines[i] == missing) ++i;
  EXPECT_GE(i, 2u) << result.err;
  ASSERT_LE(i + 2, lines.size()) << result.err;
  EXPECT_EQ(lines[i], "serve: ok=0 changed=1 failed=0 skipped=0");
  for (std::size_t j = i + 1; j < lines.size(); ++j) EXPECT_EQ(lines[j], "serve: ok=1 changed=0 failed=0 skipped=0");
  // The cycles were at least an interval apart: the fourth line came no
  // sooner than three seconds after the start.
  EXPECT_GE(seen - started, std::chrono::seconds(3));

  // A report per successful cycle (the last one may not have printed its
  // line when the agent was stopped), none for the failed ones.
  const auto names = names_in(scratch("reports"));
  const std::size_t summaries = lines.size() - i;
  EXPECT_GE(names.size(), summaries);
  EXPECT_LE(names.size(), summaries + 1);
  for (const auto& name : names) {
    const std::string text = read_file(scratch("reports") / name);
    EXPECT_TRUE(text.starts_with("{\n  \"source\": \"bundle.toml\",\n")) << text;
    EXPECT_TRUE(text.ends_with("\"timestamp\": \"" + name.substr(0, name.size() - 11) + "\"\n}")) << name << text;
  }
}

// A source whose props nest 20,000 deep (once a stack overflow on the first
// cycle) fails each cycle as a bundle that does not parse, and the loop
// goes on to run the repaired source.
TEST_F(ServeMode, LoopGoesOnAfterDeepBundles) {
  std::string chain = "a";
  for (int i = 1; i < 20000; ++i) chain += ".a";
  write_file(scratch("bundle.toml"),
             bundle("[[resources]]\nresource_type = \"cmd\"\nname = \"deep\"\nprops." + chain + " = 1\n"));
  auto agent = sandbox.start_agent({"serve", "--source", "bundle.toml", "--interval", "1s", "--report-dir", "reports"});
  ASSERT_TRUE(agent.wait_for_err([](std::string_view err) { return count_lines_starting(err, "serve error: ") >= 2; },
                                 std::chrono::seconds(20)))
      << agent.err().substr(0, 500);
  write_file(scratch("bundle.toml"), touch_ran());
  ASSERT_TRUE(agent.wait_for_err([](std::string_view err) { return count_lines_starting(err, "serve: ") >= 1; },
                                 std::chrono::seconds(20)))
      << agent.err().substr(0, 500);
  const RunResult result = agent.stop();

  // "[[resources]]" and "props" are three levels; the 126th part is the
  // 129th level.
  const std::string failed =
      "serve error: parse error: failed to parse bundle: TOML parse error at line 5, column 257\n"
      "  |\n5 | props." + chain + " = 1\n  |" + std::string(257, ' ') + "^\n"
      "too deeply nested: more than 128 levels of table headers, keys and arrays\n\n";
  std::string_view err = result.err;
  std::size_t failures = 0;
  while (err.starts_with(failed)) {
    err.remove_prefix(failed.size());
    ++failures;
  }
  EXPECT_GE(failures, 2u) << result.err.substr(0, 500);
  EXPECT_TRUE(err.starts_with("serve: ok=0 changed=1 failed=0 skipped=0\n")) << err.substr(0, 500);
  EXPECT_TRUE(fs::exists(scratch("ran")));
}

TEST_F(ServeMode, LoopWithAnUnwritableReportDirNeverPrintsASummary) {
  write_file(scratch("bundle.toml"), touch_ran());
  write_file(scratch("taken"), "");
  auto agent = sandbox.start_agent({"serve", "--source", "bundle.toml", "--interval", "1s", "--report-dir", "taken"});
  ASSERT_TRUE(agent.wait_for_err([](std::string_view err) { return count_lines_starting(err, "serve error: ") >= 2; },
                                 std::chrono::seconds(20)))
      << agent.err();
  const RunResult result = agent.stop();
  for (const auto& line : lines_of(result.err)) {
    EXPECT_EQ(line, "serve error: failed to create report dir: Not a directory (os error 20)");
  }
}

}  // namespace
}  // namespace toln
