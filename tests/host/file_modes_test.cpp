#include "host/file_modes.hpp"

#include <gtest/gtest.h>

#include <optional>

#include "support/resource_testing.hpp"

namespace toln {
namespace {

using testing::error_of;

TEST(ParseMode, OctalTextsOfThirtyTwoBits) {
  const struct {
    std::string text;
    std::optional<std::uint32_t> mode;
  } cases[] = {
      {"755", 0755},        {"0755", 0755},   {"+755", 0755},       {"0", 0},
      {"00000000644", 0644}, {"100644", 0100644}, {"37777777777", 0xFFFFFFFFu},
      {"40000000000", {}},  {"0o755", {}},    {" 755", {}},         {"755 ", {}},
      {"-755", {}},         {"8", {}},        {"", {}},             {"+", {}},
      {"-", {}},            {"++7", {}},      {"7a", {}},
  };
  for (const auto& c : cases) {
    auto parsed = parse_mode(c.text);
    if (c.mode) {
      ASSERT_TRUE(parsed) << c.text;
      EXPECT_EQ(*parsed, *c.mode) << c.text;
    } else {
      EXPECT_EQ(error_of(parsed), "resource error: invalid mode: " + c.text);
    }
  }
  EXPECT_EQ(format_mode(0644), "0644");
  EXPECT_EQ(format_mode(04755), "4755");
  EXPECT_EQ(format_mode(07), "0007");
  EXPECT_EQ(format_mode(0100644), "100644");
}

}  // namespace
}  // namespace toln
