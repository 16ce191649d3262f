#include "text/lines.hpp"

#include <gtest/gtest.h>

#include "text/unicode.hpp"

namespace toln {
namespace {

using Lines = std::vector<std::string_view>;

TEST(Lines, SplitAfterEachLineFeed) {
  struct Case {
    std::string text;
    Lines lines;
  } cases[] = {
      {"", {}},
      {"\n", {""}},
      {"a", {"a"}},
      {"a\n", {"a"}},
      {"a\nb", {"a", "b"}},
      {"a\n\n", {"a", ""}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\r\r\n", {"a\r"}},      // only the one carriage return before the feed goes
      {"a\rb\n", {"a\rb"}},      // a lone carriage return is text
      {"a\r", {"a\r"}},          // not before a feed: kept
      {"\r\n\r\n", {"", ""}},
      {"  x \t\n#c", {"  x \t", "#c"}},
  };
  for (const auto& c : cases) EXPECT_EQ(split_lines(c.text), c.lines) << testing::PrintToString(c.text);
}

TEST(Lines, JoinWithoutAFinalFeed) {
  EXPECT_EQ(join_lines({}), "");
  EXPECT_EQ(join_lines({""}), "");
  EXPECT_EQ(join_lines({"a", "", "b"}), "a\n\nb");
  EXPECT_EQ(join_lines({"a", ""}), "a\n");
}

TEST(Lines, LineBreaks) {
  for (std::string_view broken : {"a\nb", "\r", "a\vb", "a\fb", "a\u0085", "\u2028", "x\u2029"}) {
    EXPECT_TRUE(has_line_break(broken)) << broken;
  }
  for (std::string_view whole : {"", "a b\tc", "\u00a0", "\u2027\u202a", "\u00c5"}) {
    EXPECT_FALSE(has_line_break(whole)) << whole;
  }
}

TEST(Unicode, HasWhiteSpace) {
  for (std::string_view white : {" ", "a\tb", "a\vb", "\u00a0x", "x\u3000", "\u2028", "\u0085"}) {
    EXPECT_TRUE(has_white_space(white)) << white;
  }
  for (std::string_view black : {"", "abc", "/mnt/\u00e9t\u00e9", "\u200b"}) {  // zero width space is not White_Space
    EXPECT_FALSE(has_white_space(black)) << black;
  }
}

}  // namespace
}  // namespace toln
