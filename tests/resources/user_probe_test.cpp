#include "resources/user_probe.hpp"

#include <gtest/gtest.h>

namespace toln {
namespace {

using Args = std::vector<std::string>;

TEST(UserProbe, PasswdLines) {
  const struct {
    std::string line;
    std::optional<std::string> home;
    std::optional<std::string> shell;
  } cases[] = {
      {"alice:x:1000:1000:Alice:/home/alice:/bin/bash", "/home/alice", "/bin/bash"},
      {"alice:x:1000:1000::/home/alice:/bin/sh:extra", "/home/alice", "/bin/sh:extra"},
      {"alice:x:1000:1000::/home/alice:", "/home/alice", ""},
      {"alice:x:1000:1000:::/bin/sh", "", "/bin/sh"},
      {"alice:x:1000:1000::/srv/a :/bin/sh \t", "/srv/a ", "/bin/sh"},
      {"alice:x:1000:1000::/home/alice", std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    const auto entry = parse_getent_passwd(c.line);
    ASSERT_EQ(entry.has_value(), c.home.has_value()) << c.line;
    if (!entry) continue;
    EXPECT_EQ(entry->home, *c.home) << c.line;
    EXPECT_EQ(entry->shell, *c.shell) << c.line;
  }
}

TEST(UserProbe, GroupsCompareAsSetsWithoutThePrimaryGroup) {
  const struct {
    std::string listed;
    std::string primary;
    std::string wanted;
    bool differ;
  } cases[] = {
      {"alice docker wheel", "alice", "wheel, docker", false},
      {"alice docker wheel", " alice\n", "docker,wheel,docker", false},
      {"alice  docker\twheel", "alice", "wheel", true},
      {"alice docker", "alice", "alice,docker", true},  // the primary group never matches
      {"alice", "alice", "", false},
      {"alice", "alice", "  ", false},
      {"alice docker", "alice", "", true},
      {"alice", "alice", ",", true},  // two empty names
      {"alice docker", "alice", "docker,,", true},
      {"alice docker", "alice", "Docker", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(groups_differ(c.listed, c.primary, c.wanted), c.differ)
        << "'" << c.listed << "' / '" << c.primary << "' / '" << c.wanted << "'";
  }
}

TEST(UserProbe, GroupNames) {
  EXPECT_EQ(group_names("wheel, docker"), (Args{"wheel", "docker"}));
  EXPECT_EQ(group_names(""), (Args{""}));
  EXPECT_EQ(group_names("a,,b "), (Args{"a", "", "b"}));
}

TEST(UserProbe, UseraddArguments) {
  EXPECT_EQ(useradd_args("app", std::nullopt, std::nullopt, std::nullopt), (Args{"--system", "app"}));
  EXPECT_EQ(useradd_args("app", "/srv/app", "/bin/sh", "a,b"),
            (Args{"--system", "-d", "/srv/app", "-m", "-s", "/bin/sh", "-G", "a,b", "app"}));
  EXPECT_EQ(useradd_args("app", std::nullopt, "/bin/sh", "a, b"), (Args{"--system", "-s", "/bin/sh", "-G", "a, b", "app"}));
}

TEST(UserProbe, UsermodArgumentsForWhatDiffers) {
  const PasswdEntry current{"/home/app", "/bin/sh"};
  const struct {
    std::optional<std::string> home;
    std::optional<std::string> shell;
    bool groups_differ;
    std::optional<std::string> groups;
    Args args;
  } cases[] = {
      {std::nullopt, std::nullopt, false, std::nullopt, {}},
      {"/home/app", "/bin/sh", false, "a", {}},
      {"/home/app/", std::nullopt, false, std::nullopt, {"-d", "/home/app/", "-m"}},
      {"/srv/app", "/bin/bash", true, "a, b", {"-s", "/bin/bash", "-d", "/srv/app", "-m", "-G", "a, b"}},
      {std::nullopt, "/bin/bash", false, "a", {"-s", "/bin/bash"}},
      {std::nullopt, std::nullopt, true, "", {"-G", ""}},
      {std::nullopt, std::nullopt, true, std::nullopt, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(usermod_args(current, c.home, c.shell, c.groups_differ, c.groups), c.args)
        << c.home.value_or("-") << " " << c.shell.value_or("-") << " " << c.groups.value_or("-");
  }
  EXPECT_EQ(usermod_args({"/home/app", ""}, std::nullopt, "/bin/sh", false, std::nullopt), (Args{"-s", "/bin/sh"}))
      << "an empty current shell differs from any wanted one";
}

}  // namespace
}  // namespace toln
