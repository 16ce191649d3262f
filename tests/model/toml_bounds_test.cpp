// The bounds checked on a bundle's text before the TOML library sees it:
// levels counted exactly on valid documents whatever their strings,
// comments and quoted keys hold, and refused where the bound is crossed.
#include <gtest/gtest.h>

#include "model/parse_bundle.hpp"
#include "model/toml_bounds.hpp"

namespace toln {
namespace {

constexpr std::size_t kBound = kMaxNestingLevels;

std::string repeat(std::string_view part, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += part;
  return text;
}

// "a.a.a" with count parts.
std::string dotted(std::size_t count) { return "a" + repeat(".a", count - 1); }

std::string arrays(std::size_t count) { return repeat("[", count) + "1" + repeat("]", count); }

// The inside of "a = {a = {a = 1}}" with keys keys, the outer one included.
std::string inline_tables(std::size_t keys) { return repeat("{a = ", keys - 1) + "1" + repeat("}", keys - 1); }

// Where the fault is, or "none".
std::string fault_of(std::string_view text) {
  const auto fault = check_toml_bounds(text);
  if (!fault) return "none";
  return std::to_string(fault->at.line) + ":" + std::to_string(fault->at.column) + " " + fault->message;
}

std::string deep(std::size_t line, std::size_t column) {
  return std::to_string(line) + ":" + std::to_string(column) +
         " too deeply nested: more than 128 levels of table headers, keys and arrays";
}

TEST(TomlBounds, LevelsAreCountedOnTheWrittenPath) {
  struct Case {
    std::string text;
    std::string fault;
  } cases[] = {
      // Each form at the bound, and one level over it, marked where the
      // level begins.
      {dotted(kBound) + " = 1\n", "none"},
      {dotted(kBound + 1) + " = 1\n", deep(1, 2 * kBound + 1)},
      {"[" + dotted(kBound) + "]\n", "none"},
      {"[" + dotted(kBound + 1) + "]\n", deep(1, 2 * kBound + 2)},
      // The array of a "[[...]]" header is a level.
      {"[[" + dotted(kBound - 1) + "]]\n", "none"},
      {"[[" + dotted(kBound) + "]]\n", deep(1, 2 * kBound + 1)},
      {"a = " + arrays(kBound - 1) + "\n", "none"},
      {"a = " + arrays(kBound) + "\n", deep(1, 4 + kBound)},
      {"a = " + inline_tables(kBound) + "\n", "none"},
      {"a = " + inline_tables(kBound + 1) + "\n", deep(1, 1 + 5 * kBound)},
      // Levels add up across a header, a dotted key, inline tables and
      // arrays; a quoted part is one level whatever it holds.
      {"[" + dotted(40) + "]\n" + dotted(40) + ".'x.y'.\"z.w\" = { a.b = [" + arrays(43) + "] }\n", "none"},
      {"[" + dotted(40) + "]\n" + dotted(40) + ".'x.y'.\"z.w\" = { a.b = [" + arrays(44) + "] }\n",
       deep(2, 103 + 44)},
      // Columns count characters.
      {"[" + dotted(100) + "]\n\"\xC3\xA9\"." + dotted(27) + " = { b = 1 }\n", deep(2, 63)},
      // What closes gives its levels back: a later header, the end of a
      // line, a comma in an inline table, a closing bracket.
      {"[" + dotted(100) + "]\n[b]\n" + dotted(kBound - 1) + " = 1\n", "none"},
      {"[" + dotted(100) + "]\n" + dotted(28) + " = 1\n" + dotted(28) + " = 1\n", "none"},
      {"a = {" + repeat(dotted(100) + " = 1, ", 50) + "z = 1}\n", "none"},
      {"a = [" + repeat(arrays(100) + ",\n  # " + repeat("[", 300) + "\n", 50) + "]\n", "none"},
      {"a = [" + repeat("{b = " + arrays(100) + "}, ", 50) + "]\n", "none"},
  };
  for (const auto& c : cases) EXPECT_EQ(fault_of(c.text), c.fault) << c.text.substr(0, 300);
}

TEST(TomlBounds, StringsCommentsAndQuotedKeysHoldNoLevels) {
  const std::string brackets = repeat("[{", 300);
  const std::string dots = repeat(".a", 300);
  const std::string cases[] = {
      "a = \"" + brackets + "\"\n",
      "a = \"\\\"" + brackets + "\\\\\"\n",
      "a = '" + brackets + "\\'\n",
      "a = \"\"\"\n" + brackets + "\\\"\"\"\n" + brackets + "\"\"\"\n",
      // Up to two quotes before the closing three are content.
      "a = \"\"\"x\"\"\"\"\"\nb = \"" + brackets + "\"\n",
      "a = '''\n" + brackets + "\n''" + brackets + "'''''\nb = '" + brackets + "'\n",
      "# " + brackets + "\na = 1 # " + brackets + "\n",
      "\"" + dots + "\" = 1\n'" + dots + "' = 2\n[\"" + dots + "\"]\n[['" + dots + "']]\n",
      "\"\\\"" + dots + "\" = 1\n",
      "a = [\"]\", ']', \"\"\"]\"\"\", ''']''', # ]\n" + arrays(kBound - 2) + "]\n",
      "a = 1979-05-27 07:32:00Z\nb = [1.5e3, -inf, nan, true]\n" + dotted(kBound) + " = 0\n",
      // Empty strings are not the start of a multi-line one.
      "a = \"\"\nb = ''\n\"\" = 1\n" + dotted(kBound) + " = 0\n",
  };
  for (const auto& text : cases) EXPECT_EQ(fault_of(text), "none") << text.substr(0, 300);
  // After the same lexemes the levels are counted again.
  EXPECT_EQ(fault_of("a = [\"]\", ']', \"\"\"]\"\"\", ''']''', # ]\n" + arrays(kBound - 1) + "]\n"),
            deep(2, kBound - 1));
}

TEST(TomlBounds, ValuesAreCountedUpToTheBound) {
  // The root key, then one value per element.
  const std::string at_bound = "a = [" + repeat("0,", kMaxBundleValues - 1) + "]\n";
  EXPECT_EQ(fault_of(at_bound), "none");
  EXPECT_EQ(fault_of("b = 1\n" + at_bound),
            "0:0 too many values: more than " + std::to_string(kMaxBundleValues) + " keys and array elements");
  // Key parts and header parts count alike.
  EXPECT_NE(fault_of(repeat("[t.u]\n", kMaxBundleValues / 2) + "x = 1\n"), "none");
  EXPECT_EQ(fault_of(repeat("[t.u]\n", kMaxBundleValues / 2)), "none");
}

// Every string used to search on to the end of its line, so a line of n
// strings cost n times its length. The scan's searches now pass over each
// byte at most three times, whatever the shape of the lines: once for the
// end of its line and, in a string, once for the closing quote and once for
// an escape.
TEST(TomlBounds, LongLinesAreSearchedOnce) {
  const std::string after_list = "[[resources]]\nresource_type = \"cmd\"\nname = \"x\"\nafter = [" +
                                 repeat("\"cmd.a\", ", 1'000'000) + "]\nprops = {}\n";
  struct Case {
    std::string name;
    std::string text;
    std::string fault;
  } cases[] = {
      {"1,999,000 empty strings", "a = [" + repeat("\"\",", 1'999'000) + "]\n", "none"},
      {"2,000,000 empty strings", "a = [" + repeat("\"\",", 2'000'000) + "]\n",
       "0:0 too many values: more than 2000000 keys and array elements"},
      {"1,000,000 after entries", "host = \"h\"\n" + after_list, "none"},
      {"literal strings", "a = [" + repeat("'x',", 1'000'000) + "]\n", "none"},
      {"escapes", "a = [" + repeat("\"\\\"\\\\\",", 500'000) + "]\n", "none"},
      {"quoted keys", "a = {" + repeat("\"k\" = '', ", 500'000) + "}\n", "none"},
      {"200,000 strings and a long one", "a = [" + repeat("\"\",", 200'000) + "\"" + std::string(8 << 20, 'x') + "\"]\n",
       "none"},
      {"an open string on each of many lines", repeat("a = \"" + std::string(100, 'x') + "\n", 100'000), "none"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::size_t searched = 0;
    const auto fault = check_toml_bounds(c.text, searched);
    EXPECT_EQ(fault ? std::to_string(fault->at.line) + ":" + std::to_string(fault->at.column) + " " + fault->message
                    : "none",
              c.fault);
    EXPECT_LE(searched, 3 * c.text.size());
  }
}

// The whole parse of such a line: the list is read whole (ctest's time limit
// guards against a hang).
TEST(TomlBounds, OneLineListOfAMillionAfterEntriesParses) {
  const std::string text = "host = \"h\"\n[[resources]]\nresource_type = \"cmd\"\nname = \"x\"\nafter = [" +
                           repeat("\"cmd.a\", ", 1'000'000) + "]\nprops = {}\n";
  const auto bundle = parse_bundle(text);
  ASSERT_TRUE(bundle) << display_agent_error(bundle.error());
  ASSERT_EQ(bundle->resources.size(), 1u);
  EXPECT_EQ(bundle->resources[0].after.size(), 1'000'000u);
  EXPECT_EQ(bundle->resources[0].after.back(), "cmd.a");
}

}  // namespace
}  // namespace toln
