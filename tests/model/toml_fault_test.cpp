#include "model/toml_fault.hpp"

#include <gtest/gtest.h>

namespace toln {
namespace {

TEST(TomlFault, CaretsFollowTheMarkedPlace) {
  const std::string text = "first = 1\nsecond = [1,\n  2]\n\xC3\xA9t\xC3\xA9 = \"x\"\n";
  struct Case {
    TextPosition begin, end;
    std::string marks;
  } cases[] = {
      {{1, 9}, {1, 10}, "         ^"},     // one character
      {{1, 1}, {1, 6}, " ^^^^^"},          // a key
      {{1, 3}, {1, 3}, "   ^"},            // a point
      {{1, 9}, {1, 40}, "         ^"},     // clipped at the end of the line
      {{2, 10}, {3, 5}, "          ^^^"},  // runs on to a later line
      {{1, 11}, {1, 11}, "           ^"},  // just past the end of the line: still one caret
      {{1, 20}, {1, 25}, std::string(20, ' ') + "^"},
  };
  for (const auto& c : cases) {
    const std::string fault = format_toml_fault(text, c.begin, c.end, "msg");
    const std::string line = text.substr(0, text.find('\n'));
    const std::string source = c.begin.line == 1 ? "first = 1" : "second = [1,";
    const std::string n = std::to_string(c.begin.line);
    EXPECT_EQ(fault, "TOML parse error at line " + n + ", column " + std::to_string(c.begin.column) + "\n  |\n" + n +
                         " | " + source + "\n  |" + c.marks + "\nmsg\n");
  }
}

TEST(TomlFault, ColumnsAndCaretsCountCharacters) {
  const std::string text = "a = 1\nb = 2\nc = 3\n\xC3\xA9t\xC3\xA9 = \"x\"\n";
  EXPECT_EQ(format_toml_fault(text, {4, 1}, {4, 4}, "m"),
            "TOML parse error at line 4, column 1\n  |\n4 | \xC3\xA9t\xC3\xA9 = \"x\"\n  | ^^^\nm\n");
  EXPECT_EQ(format_toml_fault(text, {4, 7}, {4, 20}, "m"),
            "TOML parse error at line 4, column 7\n  |\n4 | \xC3\xA9t\xC3\xA9 = \"x\"\n  |       ^^^\nm\n");
}

TEST(TomlFault, WideLineNumbers) {
  std::string text;
  for (int i = 1; i <= 120; ++i) text += "k" + std::to_string(i) + " = " + std::to_string(i) + "\n";
  EXPECT_EQ(format_toml_fault(text, {120, 8}, {120, 11}, "m"),
            "TOML parse error at line 120, column 8\n    |\n120 | k120 = 120\n    |        ^^^\nm\n");
}

TEST(TomlFault, WithoutPlaceIsTheMessageAlone) {
  EXPECT_EQ(format_toml_fault("a = 1\n", {0, 0}, {0, 0}, "missing field `host`"), "missing field `host`\n");
}

}  // namespace
}  // namespace toln
