// Successful parses of the command line, in process.
#include "cli/command_line.hpp"

#include <gtest/gtest.h>

#include <optional>

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

// Each value option in both forms, "--opt value" and "--opt=value": an
// attached empty value is the empty text and never takes the next argument.
TEST(ParseCommandLine, ValueForms) {
  const struct {
    std::vector<std::string> args;
    std::string source;
    std::optional<std::string> interval;
    bool once;
    std::string report_dir;
  } cases[] = {
      {{"serve", "--source", "b.toml", "--interval", "5m", "--report-dir", "/r"}, "b.toml", "5m", false, "/r"},
      {{"serve", "--source=b.toml", "--interval=5m", "--report-dir=/r"}, "b.toml", "5m", false, "/r"},
      {{"serve", "--source", "", "--interval", "", "--report-dir", ""}, "", "", false, ""},
      {{"serve", "--source=", "--interval=", "--report-dir="}, "", "", false, ""},
      {{"serve", "--interval=", "--once", "--source", "b.toml"}, "b.toml", "", true, "/var/lib/toln/runs"},
      {{"serve", "--source=", "--once"}, "", std::nullopt, true, "/var/lib/toln/runs"},
      {{"serve", "--source", "b.toml", "--report-dir=", "--once"}, "b.toml", std::nullopt, true, ""},
      {{"serve", "--source=", "--dry-run", "--interval=", "--once"}, "", "", true, "/var/lib/toln/runs"},
      // Attached, a value may look like an option or hold "=".
      {{"serve", "--source=--once", "--interval==5m"}, "--once", "=5m", false, "/var/lib/toln/runs"},
      // "-" and negative numbers are values in either form.
      {{"serve", "--source", "-", "--interval", "-5m"}, "-", "-5m", false, "/var/lib/toln/runs"},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const auto& arg : c.args) shown += "[" + arg + "]";
    const CommandLine line = parse(c.args);
    ASSERT_TRUE(line.serve) << shown;
    EXPECT_EQ(line.serve->source, c.source) << shown;
    EXPECT_EQ(line.serve->interval, c.interval) << shown;
    EXPECT_EQ(line.serve->once, c.once) << shown;
    EXPECT_EQ(line.serve->report_dir, c.report_dir) << shown;
  }
}

}  // namespace
}  // namespace toln
