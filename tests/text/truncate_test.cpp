#include "text/truncate.hpp"

#include <gtest/gtest.h>

#include <string>

namespace toln {
namespace {

TEST(TruncateOutput, CutsAt2000BytesOnACharacterBoundary) {
  EXPECT_EQ(truncate_output(std::string(2000, 'a')), std::string(2000, 'a'));
  EXPECT_EQ(truncate_output(std::string(2001, 'a')), std::string(2000, 'a') + "...(truncated)");
  // Bytes 1999 to 2001 (1-based) form one three-byte character.
  const std::string text = std::string(1998, 'a') + "\xE2\x82\xAC" + "tail";
  EXPECT_EQ(truncate_output(text), std::string(1998, 'a') + "...(truncated)");
}

}  // namespace
}  // namespace toln
