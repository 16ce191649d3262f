// Successful parses of the command line, in process.
#include "cli/command_line.hpp"

#include <gtest/gtest.h>

namespace toln {
namespace {

CommandLine parse(std::vector<std::string> args) {
  args.insert(args.begin(), "toln-agent");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return parse_command_line(static_cast<int>(args.size()), argv.data());
}

TEST(ParseCommandLine, PushMode) {
  EXPECT_FALSE(parse({}).dry_run);
  EXPECT_FALSE(parse({}).serve);
  EXPECT_TRUE(parse({"--dry-run"}).dry_run);
  EXPECT_FALSE(parse({"--dry-run"}).serve);
}

TEST(ParseCommandLine, ServeDefaults) {
  const CommandLine line = parse({"serve", "--source", "/etc/toln/bundle.toml"});
  ASSERT_TRUE(line.serve);
  EXPECT_FALSE(line.dry_run);
  EXPECT_EQ(line.serve->source, "/etc/toln/bundle.toml");
  EXPECT_FALSE(line.serve->interval);
  EXPECT_FALSE(line.serve->once);
  EXPECT_EQ(line.serve->report_dir, "/var/lib/toln/runs");
}

TEST(ParseCommandLine, ServeWithEverything) {
  const CommandLine line = parse({"serve", "--source", "https://example.com/b.toml", "--interval", "5m", "--once",
                                  "--report-dir", "/tmp/r\xFF"});
  ASSERT_TRUE(line.serve);
  EXPECT_EQ(line.serve->source, "https://example.com/b.toml");
  EXPECT_EQ(line.serve->interval, "5m");
  EXPECT_TRUE(line.serve->once);
  // A path is taken as the system gives it, any bytes.
  EXPECT_EQ(line.serve->report_dir, "/tmp/r\xFF");
}

TEST(ParseCommandLine, DryRunIsGlobal) {
  const std::vector<std::string> cases[] = {
      {"--dry-run", "serve", "--source", "s"},
      {"serve", "--dry-run", "--source", "s"},
      {"serve", "--source", "s", "--dry-run"},
      {"--dry-run", "serve", "--source", "s", "--dry-run"},
  };
  for (const auto& args : cases) {
    const CommandLine line = parse(args);
    EXPECT_TRUE(line.dry_run);
    ASSERT_TRUE(line.serve);
    EXPECT_EQ(line.serve->source, "s");
  }
}

TEST(ParseCommandLine, EmptyIntervalIsPresent) {
  const CommandLine line = parse({"serve", "--source", "s", "--interval", ""});
  ASSERT_TRUE(line.serve);
  EXPECT_EQ(line.serve->interval, "");
}

}  // namespace
}  // namespace toln
