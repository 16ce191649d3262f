#include "text/utf8.hpp"

#include <gtest/gtest.h>

namespace toln {
namespace {

TEST(Utf8, ValidTextHasNoFault) {
  EXPECT_FALSE(find_utf8_fault(""));
  EXPECT_FALSE(find_utf8_fault("plain ascii text that is long enough"));
  EXPECT_FALSE(find_utf8_fault("h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80"));
  EXPECT_FALSE(find_utf8_fault(std::string("nul\0byte", 8)));
}

TEST(Utf8, FaultDescriptions) {
  struct Case {
    std::string bytes;
    std::string description;
  } cases[] = {
      {"abc\xFF", "invalid utf-8 sequence of 1 bytes from index 3"},
      {"0123456789\xE2\x82", "incomplete utf-8 byte sequence from index 10"},
      {"\xE2\x82\x41", "invalid utf-8 sequence of 2 bytes from index 0"},
      {"\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // surrogate
      {"\xC0\xAF", "invalid utf-8 sequence of 1 bytes from index 0"},      // overlong
      {"\xE0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // overlong
      {"x\xF5\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 1"},
      {"\xF4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // above U+10FFFF
      {"\xF0\x9F\x98", "incomplete utf-8 byte sequence from index 0"},
      {"\xF0\x9F\x98Z", "invalid utf-8 sequence of 3 bytes from index 0"},
      {"\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"12345678\xC3", "incomplete utf-8 byte sequence from index 8"},
  };
  for (const auto& c : cases) {
    auto fault = find_utf8_fault(c.bytes);
    ASSERT_TRUE(fault) << c.description;
    EXPECT_EQ(describe_utf8_fault(*fault), c.description);
  }
}

TEST(Utf8, LossyReplacesEachMaximalSubpart) {
  EXPECT_EQ(lossy_utf8("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(lossy_utf8("\xE2\x82\x41"), "\xEF\xBF\xBD" "A");
  EXPECT_EQ(lossy_utf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(lossy_utf8("end\xF0\x9F"), "end\xEF\xBF\xBD");
}

TEST(Utf8, FloorCharBoundary) {
  const std::string text = "ab\xE2\x82\xAC";  // "ab€"
  EXPECT_EQ(floor_char_boundary(text, 10), text.size());
  EXPECT_EQ(floor_char_boundary(text, 4), 2u);
  EXPECT_EQ(floor_char_boundary(text, 3), 2u);
  EXPECT_EQ(floor_char_boundary(text, 2), 2u);
}

TEST(Utf8, NextCodePointDecodesEveryLength) {
  const struct {
    std::string encoded;
    char32_t cp;
  } cases[] = {
      {std::string(1, '\0'), U'\0'},        {"a", U'a'},
      {"\x7F", U'\u007F'},                  {"\xC2\x80", U'\u0080'},
      {"\xDF\xBF", U'\u07FF'},              {"\xE0\xA0\x80", U'\u0800'},
      {"\xEF\xBF\xBF", U'\uFFFF'},          {"\xF0\x90\x80\x80", U'\U00010000'},
      {"\xF4\x8F\xBF\xBF", U'\U0010FFFF'},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(is_valid_utf8(c.encoded)) << static_cast<unsigned>(c.cp);
    std::size_t pos = 0;
    EXPECT_EQ(next_code_point(c.encoded, pos), c.cp);
    EXPECT_EQ(pos, c.encoded.size());
  }
}

}  // namespace
}  // namespace toln
