// Push mode up to the engine: reading and parsing the bundle from standard
// input. Only inputs that fail before anything runs are used here.
#include <gtest/gtest.h>

#include "cli/agent_process.hpp"

namespace toln::test {
namespace {

constexpr std::size_t kLimit = 67108864;

const std::string kEmptyParse =
    "failed to parse bundle: parse error: failed to parse bundle: TOML parse error at line 1, column 1\n"
    "  |\n"
    "1 | \n"
    "  | ^\n"
    "missing field `host`\n"
    "\n";

// Lines of comment that fill exactly size bytes and form no bundle.
std::string comment_lines(std::size_t size) {
  std::string text;
  text.reserve(size);
  const std::string line = "#" + std::string(62, 'x') + "\n";
  while (text.size() + line.size() <= size) text += line;
  text.append(size - text.size(), '\n');
  return text;
}

TEST(PushMode, InputTooLarge) {
  const AgentRun run = run_agent({}, comment_lines(kLimit + 1));
  EXPECT_EQ(run.exit_code, 5);
  EXPECT_EQ(run.err, "failed to read stdin: config error: input too large: exceeds 67108864 bytes\n");
  EXPECT_EQ(run.out, "");
}

TEST(PushMode, InputOfExactlyTheLimitIsRead) {
  // Read whole, then refused by the parser: the size was accepted.
  const AgentRun run = run_agent({}, comment_lines(kLimit));
  EXPECT_EQ(run.exit_code, 5);
  EXPECT_EQ(run.err.substr(0, 98),
            "failed to parse bundle: parse error: failed to parse bundle: TOML parse error at line 1, column 1\n");
  EXPECT_NE(run.err.find("missing field `host`"), std::string::npos);
  EXPECT_EQ(run.out, "");
}

TEST(PushMode, ReadFailures) {
  struct Case {
    std::string input;
    std::string err;
  } cases[] = {
      {"abc\xFF", "failed to read stdin: parse error: input is not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 3\n"},
      {"host = \"h\xE2\x82", "failed to read stdin: parse error: input is not valid UTF-8: incomplete utf-8 byte sequence from index 9\n"},
      {"\xED\xA0\x80", "failed to read stdin: parse error: input is not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 0\n"},
  };
  for (const auto& c : cases) {
    const AgentRun run = run_agent({}, c.input);
    EXPECT_EQ(run.exit_code, 5);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.out, "");
  }
}

TEST(PushMode, TooLargeWinsOverEncoding) {
  std::string input = comment_lines(kLimit + 1);
  input[10] = '\xFF';
  const AgentRun run = run_agent({}, input);
  EXPECT_EQ(run.exit_code, 5);
  EXPECT_EQ(run.err, "failed to read stdin: config error: input too large: exceeds 67108864 bytes\n");
}

TEST(PushMode, UnreadableStdinIsAnOsError) {
  const AgentRun run = run_agent({}, "", {.stdin_mode = StdinMode::Directory});
  EXPECT_EQ(run.exit_code, 5);
  EXPECT_EQ(run.err, "failed to read stdin: Is a directory (os error 21)\n");
  EXPECT_EQ(run.out, "");
}

TEST(PushMode, EmptyAndClosedStdinFailInTheParser) {
  for (StdinMode mode : {StdinMode::Feed, StdinMode::Closed}) {
    const AgentRun run = run_agent({}, "", {.stdin_mode = mode});
    EXPECT_EQ(run.exit_code, 5);
    EXPECT_EQ(run.err, kEmptyParse);
    EXPECT_EQ(run.out, "");
  }
  const AgentRun dry = run_agent({"--dry-run"}, "", {.stdin_mode = StdinMode::Closed});
  EXPECT_EQ(dry.exit_code, 5);
  EXPECT_EQ(dry.err, kEmptyParse);
}

TEST(PushMode, ParseFaults) {
  struct Case {
    std::string input;
    std::string err;
  } cases[] = {
      {"\xEF\xBB\xBFhost = \"h\"\n",
       "failed to parse bundle: parse error: failed to parse bundle: TOML parse error at line 1, column 1\n"
       "  |\n1 | host = \"h\"\n  | ^\nmissing field `resources`\n\n"},
      {"host = \"h\"\n[[resources]]\nresource_type = \"cmd\"\nname = \"x\"\n",
       "failed to parse bundle: parse error: failed to parse bundle: TOML parse error at line 2, column 1\n"
       "  |\n2 | [[resources]]\n  | ^^^^^^^^^^^^^\nmissing field `props`\n\n"},
      {"host = \"h\"\nresources = []\nfacts = { up = true }\n",
       "failed to parse bundle: parse error: failed to parse bundle: TOML parse error at line 3, column 16\n"
       "  |\n3 | facts = { up = true }\n  |                ^^^^\ninvalid type: boolean `true`, expected a string\n\n"},
  };
  for (const auto& c : cases) {
    const AgentRun run = run_agent({}, c.input);
    EXPECT_EQ(run.exit_code, 5);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.out, "");
  }
}

TEST(PushMode, ServeNeverReadsStdin) {
  const AgentRun run = run_agent({"serve", "--source", "bundle.toml", "--help"}, "host = \"h\"\nresources = []\n",
                                 {.stdin_mode = StdinMode::Unread});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.stdin_left, "host = \"h\"\nresources = []\n");
}

}  // namespace
}  // namespace toln::test
