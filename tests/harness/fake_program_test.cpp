#include "harness/fake_program.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "harness/child_process.hpp"
#include "harness/temp_dir.hpp"

namespace toln::testing {
namespace {

using namespace std::string_literals;

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// Runs a fake script directly with sh, outside any namespace.
RunResult run_fake(const std::filesystem::path& log, std::string_view name, std::string_view body,
                   std::vector<std::string> args, std::string stdin_text = {}) {
  ChildSpec spec;
  spec.program = "/bin/sh";
  spec.argv = {"sh", "-c", fake_script(name, body), "unused-$0"};
  spec.argv.insert(spec.argv.end(), args.begin(), args.end());
  spec.env = {"PATH=/usr/bin:/bin", "TOLN_FAKE_LOG=" + log.string()};
  return run_program(spec, std::move(stdin_text));
}

TEST(FakeProgram, RecordsEveryArgumentExactly) {
  TempDir dir("toln-fake-test");
  const auto log = dir.path() / "log";
  const std::vector<std::string> args = {
      "plain", "with space", "",   "two\nlines", "tab\there",  "it's", "\"quoted\"",
      "*",     "$HOME",      "--", "\xC3\xBC",   "trailing\n", "-n",   "%s\\0",
  };
  const RunResult first = run_fake(log, "sys-ctl", "echo out; echo err >&2; exit 3", args);
  EXPECT_EQ(first.exit_status, 3);
  EXPECT_EQ(first.out, "out\n");
  EXPECT_EQ(first.err, "err\n");
  const RunResult second = run_fake(log, "it's odd", "", {});
  EXPECT_EQ(second.exit_status, 0);

  Invocation expected = {"sys-ctl"};
  expected.insert(expected.end(), args.begin(), args.end());
  EXPECT_EQ(parse_fake_log(slurp(log)), (std::vector<Invocation>{expected, {"it's odd"}}));
}

TEST(FakeProgram, BodyReadsStandardInput) {
  TempDir dir("toln-fake-test");
  const RunResult result = run_fake(dir.path() / "log", "filter", "tr a-z A-Z", {"x"}, "some input\n");
  EXPECT_EQ(result.out, "SOME INPUT\n");
  EXPECT_EQ(parse_fake_log(slurp(dir.path() / "log")), (std::vector<Invocation>{{"filter", "x"}}));
}

TEST(FakeProgram, RefusingFakeFailsLoudly) {
  TempDir dir("toln-fake-test");
  const RunResult result = run_fake(dir.path() / "log", "sysctl", refusing_body("sysctl"), {"-w", "a=1"});
  EXPECT_EQ(result.exit_status, 127);
  EXPECT_EQ(result.err, "toln-harness: the real sysctl is not run in a sandbox; add a fake for it\n");
  EXPECT_EQ(parse_fake_log(slurp(dir.path() / "log")), (std::vector<Invocation>{{"sysctl", "-w", "a=1"}}));
}

TEST(FakeProgram, BadNamesAreRefused) {
  for (std::string name : {""s, "."s, ".."s, "bin/ls"s, "/ls"s, "a\0b"s}) {
    EXPECT_THROW(fake_script(name, ""), std::invalid_argument) << name;
  }
}

TEST(FakeProgram, LogParsing) {
  EXPECT_TRUE(parse_fake_log("").empty());
  EXPECT_EQ(parse_fake_log("0\0a\0"s
                           "2\0b\0\0x\0"s),
            (std::vector<Invocation>{{"a"}, {"b", "", "x"}}));
  for (std::string bad : {"1\0a\0"s, "0\0a"s, "x\0a\0"s, "\0a\0"s, "-1\0a\0"s, "0\0"s, "99999999999\0a\0"s}) {
    EXPECT_THROW(parse_fake_log(bad), std::runtime_error) << bad;
  }
}

}  // namespace
}  // namespace toln::testing
