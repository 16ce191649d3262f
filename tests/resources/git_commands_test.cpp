#include "resources/git_commands.hpp"

#include <gtest/gtest.h>

namespace toln {
namespace {

TEST(GitCommands, CommitIdsAreSevenToFortyHexDigits) {
  const struct {
    std::string ref;
    bool commit;
  } cases[] = {
      {"abc1234", true},
      {"ABCDEF12", true},
      {std::string(40, 'f'), true},
      {"abc123", false},
      {std::string(41, 'a'), false},
      {"abc123g", false},
      {"release-2", false},
      {"main", false},
      {"", false},
      {"abc 1234", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_commit_id(c.ref), c.commit) << c.ref;
}

TEST(GitCommands, CloneArguments) {
  using Args = std::vector<std::string>;
  const struct {
    std::optional<std::string> ref;
    std::optional<std::string> depth;
    Args args;
  } cases[] = {
      {std::nullopt, std::nullopt, {"clone", "u", "p"}},
      {"main", std::nullopt, {"clone", "--branch", "main", "u", "p"}},
      {"deadbeef", std::nullopt, {"clone", "u", "p"}},
      {"abcdef", "1", {"clone", "--branch", "abcdef", "--depth", "1", "u", "p"}},
      {std::string(41, 'a'), std::nullopt, {"clone", "--branch", std::string(41, 'a'), "u", "p"}},
      {std::nullopt, "not-a-number", {"clone", "--depth", "not-a-number", "u", "p"}},
  };
  for (const auto& c : cases) EXPECT_EQ(git_clone_args("u", "p", c.ref, c.depth), c.args) << c.ref.value_or("-");
}

}  // namespace
}  // namespace toln
