#include "engine/registers.hpp"

#include <gtest/gtest.h>

namespace toln {
namespace {

std::string placeholder(const std::string& name) { return "__TOLN_REG_" + name + "__TOLN_END__"; }

ResolvedResource with_prop(const std::string& text) {
  ResolvedResource r;
  r.resource_type = "cmd";
  r.name = "x";
  r.props["command"] = TomlValue{text};
  return r;
}

std::string substituted(const std::string& text, const Registers& registers) {
  return *substitute_registered(with_prop(text), registers).props.at("command").as_string();
}

TEST(Registers, Substitution) {
  const Registers regs = {{"a", "A"}, {"b", "B"}, {"", "EMPTY"}, {"chain", placeholder("a") + "!"}};
  struct Case {
    std::string text;
    std::string expected;
  } cases[] = {
      {"no markers", "no markers"},
      {"x " + placeholder("a") + " y", "x A y"},
      {placeholder("a") + placeholder("a"), "AA"},
      {placeholder("missing") + placeholder("a"), placeholder("missing") + placeholder("a")},
      {placeholder("a") + placeholder("missing"), "A" + placeholder("missing")},
      {placeholder(""), "EMPTY"},
      {placeholder("chain"), "A!"},
      {"__TOLN_REG_a", "__TOLN_REG_a"},
      {"__toln_reg_a__TOLN_END__", "__toln_reg_a__TOLN_END__"},
  };
  for (const auto& c : cases) EXPECT_EQ(substituted(c.text, regs), c.expected) << c.text;
  EXPECT_EQ(substituted(placeholder("a"), {}), placeholder("a"));
}

TEST(Registers, OnlyTopLevelStringsAreSearched) {
  ResolvedResource r = with_prop(placeholder("a"));
  r.props["list"] = TomlValue{TomlArray{TomlValue{placeholder("a")}}};
  r.props["number"] = TomlValue{std::int64_t{5}};
  r.name = placeholder("a");
  const ResolvedResource out = substitute_registered(r, {{"a", "A"}});
  EXPECT_EQ(*out.props.at("command").as_string(), "A");
  EXPECT_EQ(*out.props.at("list").as_array()->at(0).as_string(), placeholder("a"));
  EXPECT_EQ(out.name, placeholder("a"));
  EXPECT_FALSE(has_register_placeholder(out));

  ResolvedResource nested;
  nested.props["list"] = TomlValue{TomlArray{TomlValue{placeholder("a")}}};
  EXPECT_FALSE(has_register_placeholder(nested));
  EXPECT_TRUE(has_register_placeholder(with_prop("open __TOLN_REG_ only")));
}

TEST(Registers, SelfFeedingValuesEnd) {
  // Directly, through a chain, and through a marker that the value completes.
  const Registers direct = {{"a", "x" + placeholder("a")}};
  EXPECT_EQ(substituted(placeholder("a"), direct), "x" + placeholder("a"));
  const Registers cycle = {{"a", "1" + placeholder("b")}, {"b", "2" + placeholder("a")}};
  EXPECT_EQ(substituted(placeholder("a"), cycle), "12" + placeholder("a"));
  const Registers spliced = {{"a", "__TOLN_REG_"}};
  EXPECT_EQ(substituted(placeholder("a") + "a__TOLN_END__", spliced), placeholder("a"));
}

TEST(Registers, ManyIndependentPlaceholdersAllResolve) {
  std::string text, expected;
  for (int i = 0; i < 5000; ++i) {
    text += placeholder("a") + ",";
    expected += "value,";
  }
  EXPECT_EQ(substituted(text, {{"a", "value"}}), expected);
}

}  // namespace
}  // namespace toln
