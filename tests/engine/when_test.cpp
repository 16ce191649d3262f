#include "engine/when.hpp"

#include <gtest/gtest.h>

namespace toln {
namespace {

struct WhenCase {
  const char* condition;
  bool expected;
};

void expect_cases(const FactTable& facts, std::initializer_list<WhenCase> cases) {
  for (const auto& c : cases) EXPECT_EQ(eval_when(c.condition, facts), c.expected) << "condition: [" << c.condition << "]";
}

TEST(EvalWhen, ComparisonsAndQuotes) {
  const FactTable facts = {{"os", "ubuntu"}, {"msg", "a || b"}, {"x", ""}, {"y", "y"}, {"q", "'y'"}};
  expect_cases(facts, {
                          {"os == ubuntu", true},
                          {"os == 'ubuntu'", true},
                          {"os==\"ubuntu\"", true},
                          {"  os ==   ubuntu  ", true},
                          {"os != ubuntu", false},
                          {"os == Ubuntu", false},
                          {"os != Ubuntu", true},
                          {"msg == 'a || b'", true},
                          {"x == ''", true},
                          {"q == \"'y'\"", true},
                          {"y == ''y''", true},
                          {"y == 'y", true},
                          {"absent == x", false},
                          {"absent != x", false},
                          {"!role == db", true},
                          {"'os' == ubuntu", false},  // the key is not unquoted
                      });
}

TEST(EvalWhen, TruthOfBareNames) {
  const FactTable facts = {{"zero", "0"}, {"no", "false"}, {"empty", ""},  {"dz", "00"},
                           {"caps", "FALSE"}, {"off", "off"}, {"pad", " 0"}, {"(a)", "1"}};
  expect_cases(facts, {
                          {"zero", false},
                          {"no", false},
                          {"empty", false},
                          {"dz", true},
                          {"caps", true},
                          {"off", true},
                          {"pad", true},
                          {"missing", false},
                          {"(a)", true},
                          {"a = b", false},
                          {"", false},
                          {"   ", false},
                          {"!", true},
                          {"!!off", true},
                          {"! off", false},
                      });
  EXPECT_TRUE(eval_when("", FactTable{{"", "yes"}}));
  EXPECT_FALSE(eval_when("!", FactTable{{"", "yes"}}));
}

TEST(EvalWhen, PrecedenceAndShortCircuit) {
  const FactTable facts = {{"t", "1"}, {"f", "0"}};
  expect_cases(facts, {
                          {"t || f && f", true},   // t || (f && f)
                          {"f && t || t", true},   // (f && t) || t
                          {"f || f || t", true},
                          {"t && t && f", false},
                          {"!f && t", true},       // (!f) && t
                          {"!t || t", true},
                          {"!t == 1", false},      // !(t == 1)
                          {"t == 1 != 2", false},  // key "t == 1" is absent
                          {"t == 1 == 1", false},  // value "1 == 1"
                          {"'f || t'", false},     // quoted operator does not split
                          {"\"unclosed || t", false},
                      });
}

TEST(EvalWhen, UnicodeWhiteSpaceIsTrimmed) {
  const FactTable facts = {{"os", "debian"}};
  EXPECT_TRUE(eval_when("\xE2\x80\x83os == debian\xC2\xA0", facts));  // em space, no-break space
}

// Conditions of a mebibyte: each long chain is answered as its short form
// would be (a chain that cost the square of its length would not finish).
TEST(EvalWhen, LongChains) {
  const FactTable facts = {{"t", "1"}, {"f", "0"}};
  constexpr std::size_t kLength = 1 << 20;
  const auto repeated = [](std::string_view part, std::string_view last) {
    std::string text;
    while (text.size() < kLength) text += part;
    return text + std::string(last);
  };
  struct Case {
    std::string condition;
    bool expected;
  } cases[] = {
      {std::string(kLength, '!') + "t", true},
      {std::string(kLength + 1, '!') + "t", false},
      {repeated("t && ", "t"), true},
      {repeated("t && ", "f"), false},
      {repeated("f || ", "t"), true},
      {repeated("f || ", "f"), false},
      {repeated("!f && !!t && ", "t == 1"), true},
      {repeated("f || t && ", "f"), false},
      {repeated("f && t || ", "t != 0"), true},
      // An open quote hides every operator after it: one bare name.
      {"'" + repeated("t || ", "t"), false},
      {repeated("t && ", "msg == '") + repeated(" && f", "'"), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(eval_when(c.condition, facts), c.expected) << "condition of " << c.condition.size() << " bytes: "
                                                         << c.condition.substr(0, 40) << "...";
  }
}

}  // namespace
}  // namespace toln
