#include "text/unicode.hpp"

#include <gtest/gtest.h>

namespace toln {
namespace {

TEST(Unicode, WhiteSpaceProperty) {
  for (char32_t cp : {U' ', U'\t', U'\n', U'\v', U'\f', U'\r', U'\u0085', U'\u00A0', U'\u1680', U'\u2000', U'\u2028',
                      U'\u2029', U'\u202F', U'\u205F', U'\u3000'}) {
    EXPECT_TRUE(is_white_space(cp)) << static_cast<unsigned>(cp);
  }
  for (char32_t cp : {U'a', U'\0', U'\x1c', U'\u200B', U'\uFEFF', U'_', U'\u180E'}) {
    EXPECT_FALSE(is_white_space(cp)) << static_cast<unsigned>(cp);
  }
}

TEST(Unicode, AlphanumericIsAlphabeticOrNumber) {
  for (char32_t cp : {U'a', U'Z', U'0', U'\u00E9', U'\u0416', U'\u4E2D', U'\u0663', U'\u2163', U'\u00B2', U'\u00BD',
                      U'\u0345'}) {
    EXPECT_TRUE(is_alphanumeric(cp)) << static_cast<unsigned>(cp);
  }
  for (char32_t cp : {U'-', U'_', U'.', U' ', U'@', U'\u00B7', U'\u2014', U'\U0001F600'}) {
    EXPECT_FALSE(is_alphanumeric(cp)) << static_cast<unsigned>(cp);
  }
}

TEST(Unicode, Trim) {
  struct Case {
    std::string text, both, start, end;
  } cases[] = {
      {"", "", "", ""},
      {"  a b  ", "a b", "a b  ", "  a b"},
      {"\xC2\xA0x\xE3\x80\x80", "x", "x\xE3\x80\x80", "\xC2\xA0x"},
      {"\n\t\r ", "", "", ""},
      {"\xE2\x80\x8Bz\xE2\x80\x8B", "\xE2\x80\x8Bz\xE2\x80\x8B", "\xE2\x80\x8Bz\xE2\x80\x8B", "\xE2\x80\x8Bz\xE2\x80\x8B"},
      {"\xC3\xA9 ", "\xC3\xA9", "\xC3\xA9 ", "\xC3\xA9"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(trim_white(c.text), c.both);
    EXPECT_EQ(trim_white_start(c.text), c.start);
    EXPECT_EQ(trim_white_end(c.text), c.end);
  }
}

TEST(Unicode, SplitWhite) {
  using Words = std::vector<std::string_view>;
  EXPECT_EQ(split_white(""), Words{});
  EXPECT_EQ(split_white("   "), Words{});
  EXPECT_EQ(split_white("a"), Words{"a"});
  EXPECT_EQ(split_white(" a  b\tc\n"), (Words{"a", "b", "c"}));
  EXPECT_EQ(split_white("x\xC2\xA0y\xE2\x80\xA8z"), (Words{"x", "y", "z"}));
  EXPECT_EQ(split_white("\xC3\xA9t\xC3\xA9 caf\xC3\xA9"), (Words{"\xC3\xA9t\xC3\xA9", "caf\xC3\xA9"}));
}

}  // namespace
}  // namespace toln
