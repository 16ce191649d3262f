#include "resources/git_clone.hpp"

#include <gtest/gtest.h>

#include <climits>

namespace toln {
namespace {

TEST(GitClone, PrivateNamesBesideThePath) {
  EXPECT_EQ(private_clone_name("app", "0123456789abcdef"), ".app.toln-clone.0123456789abcdef");
  // The longest name is cut to fit a file name, never inside a character.
  const std::string longest(NAME_MAX, 'n');
  EXPECT_EQ(private_clone_name(longest, "0123456789abcdef").size(), std::size_t{NAME_MAX});
  const std::string wide = std::string(NAME_MAX - 31, 'n') + "\u00e9\u00e9";
  const std::string cut = private_clone_name(wide, "0123456789abcdef");
  EXPECT_EQ(cut, "." + std::string(NAME_MAX - 31, 'n') + "\u00e9.toln-clone.0123456789abcdef");
}

TEST(GitClone, OnlyTheAgentsOwnNamesAreLeftovers) {
  const struct {
    std::string entry;
    bool leftover;
  } cases[] = {
      {".app.toln-clone.0123456789abcdef", true},
      {".app.toln-clone.0123456789ABCDEF", false},
      {".app.toln-clone.0123456789abcde", false},
      {".app.toln-clone.0123456789abcdef0", false},
      {".app.toln-clone.0123456789abcdeg", false},
      {".apps.toln-clone.0123456789abcdef", false},
      {".app.toln-tmp.0123456789abcdef", false},
      {"app", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_private_clone_name(c.entry, "app"), c.leftover) << c.entry;
}

}  // namespace
}  // namespace toln
