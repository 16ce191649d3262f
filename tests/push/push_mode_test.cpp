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

std::string repeat(std::string_view part, std::size_t count) {
  std::string text;
  text.reserve(part.size() * count);
  for (std::size_t i = 0; i < count; ++i) text += part;
  return text;
}

// "a.a.a" with count parts.
std::string dotted(std::size_t count) { return "a" + repeat(".a", count - 1); }

// The whole error output for a fault of the bundle at line and column.
std::string parse_fault_at(const std::string& bundle, std::size_t line, std::size_t column,
                           const std::string& message) {
  std::size_t start = 0;
  for (std::size_t i = 1; i < line; ++i) start = bundle.find('\n', start) + 1;
  const std::string source = bundle.substr(start, bundle.find('\n', start) - start);
  const std::string number = std::to_string(line);
  const std::string pad(number.size() + 1, ' ');
  return "failed to parse bundle: parse error: failed to parse bundle: TOML parse error at line " + number +
         ", column " + std::to_string(column) + "\n" + pad + "|\n" + number + " | " + source + "\n" + pad + "|" +
         std::string(column, ' ') + "^\n" + message + "\n\n";
}

// Every form of nesting that the TOML library or the record reader recurses
// into, once far past the bound (these overflowed the stack) and once just
// past it, is refused where it crosses the bound.
TEST(PushMode, DeepBundlesAreParseFaults) {
  const std::string deep = "too deeply nested: more than 128 levels of table headers, keys and arrays";
  const std::string head = "host = \"h\"\nresources = []\n";
  // "[[resources]]" is two levels, "props" the third.
  const std::string resource = "host = \"h\"\n\n[[resources]]\nresource_type = \"cmd\"\nname = \"deep\"\n";
  const std::string type = head + "[resource_defs.t]\ncheck = \"true\"\napply = \"true\"\n";
  struct Case {
    std::string what;
    std::string bundle;
    std::size_t line, column;
  } cases[] = {
      {"props 20,000 deep through dotted keys", resource + "props." + dotted(20000) + " = 1\n", 6, 6 + 2 * 126 - 1},
      {"a header 30,000 deep", head + "[" + dotted(30000) + "]\n", 3, 2 * 129},
      {"a root key of 300,000 parts", head + dotted(300000) + " = 1\n", 3, 2 * 129 - 1},
      {"a parameter default 20,000 deep", type + "params.p.default." + dotted(20000) + " = 1\n", 6, 17 + 2 * 124 - 1},
      {"props of inline tables", resource + "props = " + repeat("{ a = ", 20000) + "1" + repeat(" }", 20000) + "\n", 6,
       8 + 6 * 125 + 3},
      {"props of inline arrays", resource + "props = { a = " + repeat("[", 20000) + repeat("]", 20000) + " }\n", 6,
       14 + 125},
      {"props of inline tables in arrays", resource + "props = " + repeat("{ a = [", 100) + "1" + repeat("] }", 100) + "\n", 6,
       8 + 7 * 63},
  };
  for (const auto& c : cases) {
    const AgentRun run = run_agent({}, c.bundle);
    EXPECT_EQ(run.exit_code, 5) << c.what;
    EXPECT_EQ(run.err, parse_fault_at(c.bundle, c.line, c.column, deep)) << c.what;
    EXPECT_EQ(run.out, "") << c.what;
  }

  // The same forms at the bound parse; nothing is run.
  const std::string at_bound = dotted(128) + " = 1\nx = " + repeat("[", 127) + repeat("]", 127) +
                               "\n[resource_defs.t]\ncheck = \"true\"\napply = \"true\"\nparams.p.default = " +
                               repeat("{ a = ", 123) + "1" + repeat(" }", 123) + "\n[b" + repeat(".a", 127) + "]\n";
  const AgentRun run = run_agent({}, head + at_bound);
  EXPECT_EQ(run.exit_code, 1) << run.err.substr(0, 500);
  EXPECT_EQ(run.out, "{\"host\":\"h\",\"resources\":[],\"summary\":{\"changed\":0,\"ok\":0,\"failed\":0,\"skipped\":0}}\n");
}

TEST(PushMode, ServeNeverReadsStdin) {
  const AgentRun run = run_agent({"serve", "--source", "bundle.toml", "--help"}, "host = \"h\"\nresources = []\n",
                                 {.stdin_mode = StdinMode::Unread});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.stdin_left, "host = \"h\"\nresources = []\n");
}

}  // namespace
}  // namespace toln::test
