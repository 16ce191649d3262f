// The texts by which a bundle is refused, laid out as the operator sees them.
#include <gtest/gtest.h>

#include "model/parse_bundle.hpp"

namespace toln {
namespace {

// The fault block after "failed to parse bundle: ", or a note that the text
// parsed.
std::string fault_of(std::string_view text) {
  auto bundle = parse_bundle(text);
  if (bundle) return "(parsed)";
  EXPECT_EQ(bundle.error().kind(), AgentError::Parse);
  const std::string display = display_agent_error(bundle.error());
  const std::string prefix = "parse error: failed to parse bundle: ";
  EXPECT_EQ(display.substr(0, prefix.size()), prefix);
  return display.substr(prefix.size());
}

std::string block(int line, int column, const std::string& source, const std::string& marks,
                  const std::string& message) {
  const std::string number = std::to_string(line);
  const std::string pad(number.size() + 1, ' ');
  return "TOML parse error at line " + number + ", column " + std::to_string(column) + "\n" + pad + "|\n" + number +
         " | " + source + "\n" + pad + "|" + marks + "\n" + message + "\n";
}

struct Case {
  std::string text;
  std::string fault;
};

void check(const std::vector<Case>& cases) {
  for (const auto& c : cases) EXPECT_EQ(fault_of(c.text), c.fault) << "bundle:\n" << c.text;
}

TEST(ParseBundleFaults, LiteralLayout) {
  // One case spelled out in full, so the layout itself is pinned down.
  EXPECT_EQ(fault_of("host = \"h\"\nresources = {a = 1}\n"),
            "TOML parse error at line 2, column 13\n"
            "  |\n"
            "2 | resources = {a = 1}\n"
            "  |             ^^^^^^^\n"
            "invalid type: map, expected a sequence\n");
  auto bundle = parse_bundle("");
  ASSERT_FALSE(bundle);
  EXPECT_EQ(bundle.error().message(),
            "failed to parse bundle: TOML parse error at line 1, column 1\n"
            "  |\n"
            "1 | \n"
            "  | ^\n"
            "missing field `host`\n");
}

TEST(ParseBundleFaults, MissingRootFields) {
  check({
      {"", block(1, 1, "", " ^", "missing field `host`")},
      {"   \n# only a comment\n\n", block(1, 1, "   ", " ^", "missing field `host`")},
      {"\xEF\xBB\xBF", block(1, 1, "", " ^", "missing field `host`")},
      {"\xEF\xBB\xBF# note\n", block(1, 1, "# note", " ^", "missing field `host`")},
      {"resources = []\n", block(1, 1, "resources = []", " ^", "missing field `host`")},
      {"host = \"h\"\n", block(1, 1, "host = \"h\"", " ^", "missing field `resources`")},
      {"[facts]\na = \"b\"\n", block(1, 1, "[facts]", " ^", "missing field `host`")},
  });
}

TEST(ParseBundleFaults, MissingResourceFields) {
  const std::string head = "host = \"h\"\n";
  check({
      // In an array of tables the table's header is marked.
      {head + "[[resources]]\ntype = \"cmd\"\nname = \"x\"\nprops = {}\n",
       block(2, 1, "[[resources]]", " ^^^^^^^^^^^^^", "missing field `resource_type`")},
      {head + "[[resources]]\nresource_type = \"cmd\"\nprops = {}\n",
       block(2, 1, "[[resources]]", " ^^^^^^^^^^^^^", "missing field `name`")},
      {head + "[[resources]]\nresource_type = \"cmd\"\nname = \"x\"\n",
       block(2, 1, "[[resources]]", " ^^^^^^^^^^^^^", "missing field `props`")},
      {head + "[[resources]]\n", block(2, 1, "[[resources]]", " ^^^^^^^^^^^^^", "missing field `resource_type`")},
      // The second table of the array is the one that lacks a field.
      {head + "[[resources]]\nresource_type = \"cmd\"\nname = \"x\"\nprops = {}\n\n[[resources]]\nname = \"y\"\n",
       block(7, 1, "[[resources]]", " ^^^^^^^^^^^^^", "missing field `resource_type`")},
      // In an inline table the whole table is marked.
      {head + "resources = [{resource_type = \"cmd\", name = \"x\"}]\n",
       block(2, 14, "resources = [{resource_type = \"cmd\", name = \"x\"}]", std::string(14, ' ') + std::string(35, '^'),
             "missing field `props`")},
      {head + "resources = [\n  { name = \"x\", props = {} },\n]\n",
       block(3, 3, "  { name = \"x\", props = {} },", "   " + std::string(26, '^'),
             "missing field `resource_type`")},
  });
}

TEST(ParseBundleFaults, MissingDefinitionFields) {
  const std::string head = "host = \"h\"\nresources = []\n";
  check({
      {head + "[resource_defs.x]\ncheck = \"c\"\n",
       block(3, 1, "[resource_defs.x]", " " + std::string(17, '^'), "missing field `apply`")},
      {head + "[resource_defs.x]\napply = \"a\"\n",
       block(3, 1, "[resource_defs.x]", " " + std::string(17, '^'), "missing field `check`")},
      {head + "[resource_defs.x]\ndescription = \"d\"\n",
       block(3, 1, "[resource_defs.x]", " " + std::string(17, '^'), "missing field `check`")},
      {head + "[provider_defs.p]\nsource = \"s\"\n",
       block(3, 1, "[provider_defs.p]", " " + std::string(17, '^'), "missing field `interpreter`")},
      {head + "[provider_defs.p]\ninterpreter = [\"python3\"]\n",
       block(3, 1, "[provider_defs.p]", " " + std::string(17, '^'), "missing field `source`")},
      {head + "provider_defs = { p = { source = \"s\" } }\n",
       block(3, 23, "provider_defs = { p = { source = \"s\" } }", std::string(23, ' ') + std::string(16, '^'),
             "missing field `interpreter`")},
  });
}

TEST(ParseBundleFaults, ValueDescriptions) {
  check({
      {"host = 42\n", block(1, 8, "host = 42", "        ^^", "invalid type: integer `42`, expected a string")},
      {"host = -9223372036854775808\n",
       block(1, 8, "host = -9223372036854775808", "        " + std::string(20, '^'),
             "invalid type: integer `-9223372036854775808`, expected a string")},
      {"host = 1e20\n",
       block(1, 8, "host = 1e20", "        ^^^^",
             "invalid type: floating point `100000000000000000000.0`, expected a string")},
      {"host = 6.02e23\n",
       block(1, 8, "host = 6.02e23", "        ^^^^^^^",
             "invalid type: floating point `602000000000000000000000.0`, expected a string")},
      {"host = 3.0\n", block(1, 8, "host = 3.0", "        ^^^", "invalid type: floating point `3.0`, expected a string")},
      {"host = 1.5\n", block(1, 8, "host = 1.5", "        ^^^", "invalid type: floating point `1.5`, expected a string")},
      {"host = -0.0\n",
       block(1, 8, "host = -0.0", "        ^^^^", "invalid type: floating point `-0.0`, expected a string")},
      {"host = 1e-7\n",
       block(1, 8, "host = 1e-7", "        ^^^^", "invalid type: floating point `0.0000001`, expected a string")},
      {"host = 0.1\n", block(1, 8, "host = 0.1", "        ^^^", "invalid type: floating point `0.1`, expected a string")},
      {"host = nan\n", block(1, 8, "host = nan", "        ^^^", "invalid type: floating point `NaN`, expected a string")},
      {"host = +inf\n",
       block(1, 8, "host = +inf", "        ^^^^", "invalid type: floating point `inf`, expected a string")},
      {"host = -inf\n",
       block(1, 8, "host = -inf", "        ^^^^", "invalid type: floating point `-inf`, expected a string")},
      {"host = true\n", block(1, 8, "host = true", "        ^^^^", "invalid type: boolean `true`, expected a string")},
      {"host = [1, \"a\"]\n",
       block(1, 8, "host = [1, \"a\"]", "        ^^^^^^^^", "invalid type: sequence, expected a string")},
      {"host = { a = 1 }\n",
       block(1, 8, "host = { a = 1 }", "        " + std::string(9, '^'), "invalid type: map, expected a string")},
      {"host = 1979-05-27T07:32:00Z\n",
       block(1, 8, "host = 1979-05-27T07:32:00Z", "        " + std::string(20, '^'),
             "invalid type: map, expected a string")},
      {"host = 07:32:00\n",
       block(1, 8, "host = 07:32:00", "        ^^^^^^^^", "invalid type: map, expected a string")},
      {"[[host]]\n", block(1, 1, "[[host]]", " ^^^^^^^^", "invalid type: sequence, expected a string")},
  });
}

TEST(ParseBundleFaults, StringDescriptionsAreEscaped) {
  const std::string head = "host = \"h\"\nresources = [{resource_type = \"a\", name = \"b\", props = {}, handler = ";
  struct StringCase {
    std::string toml;         // the TOML string as written
    std::string description;  // its description
  } cases[] = {
      {R"("true")", R"(string "true")"},
      {R"("")", R"(string "")"},
      {R"("a\"b")", R"(string "a\"b")"},
      {R"("back\\slash")", R"(string "back\\slash")"},
      {R"('C:\dir')", R"(string "C:\\dir")"},
      {R"("l1\nl2\r\t")", R"(string "l1\nl2\r\t")"},
      {R"("\u0000\u0001\u001f\u007f\u0085")", R"(string "\0\u{1}\u{1f}\u{7f}\u{85}")"},
      {R"("caf\u00e9 ' \u00a0")", "string \"caf\xC3\xA9 ' \xC2\xA0\""},
  };
  for (const auto& c : cases) {
    const std::string text = head + c.toml + "}]\n";
    const std::string fault = fault_of(text);
    const std::string message = "invalid type: " + c.description + ", expected a boolean\n";
    ASSERT_GE(fault.size(), message.size()) << fault;
    EXPECT_EQ(fault.substr(fault.size() - message.size()), message);
    EXPECT_EQ(fault.substr(0, 37), "TOML parse error at line 2, column 70");
  }
}

TEST(ParseBundleFaults, ExpectedKinds) {
  const std::string head = "host = \"h\"\nresources = []\n";
  const std::string res = "host = \"h\"\n[[resources]]\nresource_type = \"cmd\"\nname = \"x\"\nprops = {}\n";
  check({
      {"host = \"h\"\nresources = \"x\"\n",
       block(2, 13, "resources = \"x\"", std::string(13, ' ') + "^^^", "invalid type: string \"x\", expected a sequence")},
      {"host = \"h\"\n\n[resources]\na = 1\n",
       block(3, 1, "[resources]", " " + std::string(11, '^'), "invalid type: map, expected a sequence")},
      {"host = \"h\"\nresources = [\"cmd\"]\n",
       block(2, 14, "resources = [\"cmd\"]", std::string(14, ' ') + "^^^^^",
             "invalid type: string \"cmd\", expected struct ResolvedResource")},
      {"host = \"h\"\nresources = [[]]\n",
       block(2, 14, "resources = [[]]", std::string(14, ' ') + "^^", "invalid type: sequence, expected struct ResolvedResource")},
      {head + "facts = { a = 1 }\n",
       block(3, 15, "facts = { a = 1 }", std::string(15, ' ') + "^", "invalid type: integer `1`, expected a string")},
      {head + "[facts]\nenabled = false\n",
       block(4, 11, "enabled = false", std::string(11, ' ') + "^^^^^", "invalid type: boolean `false`, expected a string")},
      {head + "[facts]\nnested = { a = \"b\" }\n",
       block(4, 10, "nested = { a = \"b\" }", std::string(10, ' ') + std::string(11, '^'),
             "invalid type: map, expected a string")},
      {head + "[facts]\nwhen = 2024-01-02\n",
       block(4, 8, "when = 2024-01-02", std::string(8, ' ') + std::string(10, '^'), "invalid type: map, expected a string")},
      {head + "facts = [\"a\"]\n",
       block(3, 9, "facts = [\"a\"]", std::string(9, ' ') + "^^^^^", "invalid type: sequence, expected a map")},
      {head + "resource_defs = \"x\"\n",
       block(3, 17, "resource_defs = \"x\"", std::string(17, ' ') + "^^^", "invalid type: string \"x\", expected a map")},
      {head + "resource_defs = { t = \"x\" }\n",
       block(3, 23, "resource_defs = { t = \"x\" }", std::string(23, ' ') + "^^^",
             "invalid type: string \"x\", expected struct ResourceDef")},
      {head + "provider_defs = { p = 1 }\n",
       block(3, 23, "provider_defs = { p = 1 }", std::string(23, ' ') + "^",
             "invalid type: integer `1`, expected struct ProviderDef")},
      {head + "[resource_defs.t]\ncheck = \"c\"\napply = \"a\"\nparams = { p = true }\n",
       block(6, 16, "params = { p = true }", std::string(16, ' ') + "^^^^",
             "invalid type: boolean `true`, expected struct ParamSpec")},
      {head + "[resource_defs.t]\ncheck = \"c\"\napply = \"a\"\nparams = [1]\n",
       block(6, 10, "params = [1]", std::string(10, ' ') + "^^^", "invalid type: sequence, expected a map")},
      {head + "[resource_defs.t]\ncheck = \"c\"\napply = \"a\"\ndescription = 5\n",
       block(6, 15, "description = 5", std::string(15, ' ') + "^", "invalid type: integer `5`, expected a string")},
      {head + "[provider_defs.p]\ninterpreter = \"python3\"\nsource = \"s\"\n",
       block(4, 15, "interpreter = \"python3\"", std::string(15, ' ') + std::string(9, '^'),
             "invalid type: string \"python3\", expected a sequence")},
      {head + "[provider_defs.p]\ninterpreter = [\"python3\", 3]\nsource = \"s\"\n",
       block(4, 27, "interpreter = [\"python3\", 3]", std::string(27, ' ') + "^",
             "invalid type: integer `3`, expected a string")},
      {head + "[provider_defs.p.params.x]\ntype = 1\n",
       block(4, 8, "type = 1", std::string(8, ' ') + "^", "invalid type: integer `1`, expected a string")},
      {head + "[provider_defs.p.params.x]\nrequired = \"yes\"\n",
       block(4, 12, "required = \"yes\"", std::string(12, ' ') + "^^^^^",
             "invalid type: string \"yes\", expected a boolean")},
      {head + "[provider_defs.p.params.x]\nenum = \"a\"\n",
       block(4, 8, "enum = \"a\"", std::string(8, ' ') + "^^^", "invalid type: string \"a\", expected a sequence")},
      {head + "[provider_defs.p.params.x]\nenum = [\"a\", 1.5]\n",
       block(4, 14, "enum = [\"a\", 1.5]", std::string(14, ' ') + "^^^",
             "invalid type: floating point `1.5`, expected a string")},
      {res + "after = \"file.x\"\n",
       block(6, 9, "after = \"file.x\"", std::string(9, ' ') + std::string(8, '^'),
             "invalid type: string \"file.x\", expected a sequence")},
      {res + "notify = [\"a\", true]\n",
       block(6, 16, "notify = [\"a\", true]", std::string(16, ' ') + "^^^^",
             "invalid type: boolean `true`, expected a string")},
      {res + "handler = \"true\"\n",
       block(6, 11, "handler = \"true\"", std::string(11, ' ') + "^^^^^^",
             "invalid type: string \"true\", expected a boolean")},
      {res + "sensitive = 1\n",
       block(6, 13, "sensitive = 1", std::string(13, ' ') + "^", "invalid type: integer `1`, expected a boolean")},
      {res + "when = true\n",
       block(6, 8, "when = true", std::string(8, ' ') + "^^^^", "invalid type: boolean `true`, expected a string")},
      {res + "register = []\n",
       block(6, 12, "register = []", std::string(12, ' ') + "^^", "invalid type: sequence, expected a string")},
      {"host = \"h\"\n[[resources]]\nresource_type = \"cmd\"\nname = \"x\"\nprops = \"none\"\n",
       block(5, 9, "props = \"none\"", std::string(9, ' ') + "^^^^^^", "invalid type: string \"none\", expected a map")},
      {"host = \"h\"\n[[resources]]\nresource_type = 1\nname = \"x\"\nprops = {}\n",
       block(3, 17, "resource_type = 1", std::string(17, ' ') + "^", "invalid type: integer `1`, expected a string")},
  });
}

TEST(ParseBundleFaults, FirstFaultInDocumentOrderWins) {
  check({
      // A faulty value is reported before a missing field of the same table.
      {"host = \"h\"\n[[resources]]\nname = \"x\"\nhandler = 1\n",
       block(4, 11, "handler = 1", std::string(11, ' ') + "^", "invalid type: integer `1`, expected a boolean")},
      // ... and before a missing field of the root.
      {"facts = { a = 1 }\n",
       block(1, 15, "facts = { a = 1 }", std::string(15, ' ') + "^", "invalid type: integer `1`, expected a string")},
      // Of two faulty root values the first written wins, whatever the field order.
      {"resources = 1\nhost = 2\n",
       block(1, 13, "resources = 1", std::string(13, ' ') + "^", "invalid type: integer `1`, expected a sequence")},
      {"host = \"h\"\nresources = []\n[facts]\nz = 1\na = 2\n",
       block(4, 5, "z = 1", "     ^", "invalid type: integer `1`, expected a string")},
      {"host = \"h\"\nresources = []\n[resource_defs.b]\ncheck = 1\n[resource_defs.a]\ncheck = 2\n",
       block(4, 9, "check = 1", std::string(9, ' ') + "^", "invalid type: integer `1`, expected a string")},
      // The first resource that lacks a field is reported, before a later wrong value.
      {"host = \"h\"\nresources = [{ name = \"a\" }, { resource_type = 5 }]\n",
       block(2, 14, "resources = [{ name = \"a\" }, { resource_type = 5 }]", std::string(14, ' ') + std::string(14, '^'),
             "missing field `resource_type`")},
      {"host = \"h\"\n[[resources]]\nresource_type = \"a\"\nname = \"b\"\nprops = {}\nafter = [1]\nnotify = 2\n",
       block(6, 10, "after = [1]", std::string(10, ' ') + "^", "invalid type: integer `1`, expected a string")},
  });
}

TEST(ParseBundleFaults, PositionsAndLayout) {
  std::string many_lines = "host = \"h\"\nresources = []\n[facts]\n";
  for (int i = 0; i < 9; ++i) many_lines += "f" + std::to_string(i) + " = \"v\"\n";
  many_lines += "bad = 7\n";
  check({
      // A two-digit line number widens the gutter.
      {many_lines, block(13, 7, "bad = 7", "       ^", "invalid type: integer `7`, expected a string")},
      // Columns count characters, not bytes.
      {"host = \"h\"\nresources = []\nfacts = { \"\xC3\xA9\xE2\x82\xAC\" = 1 }\n",
       block(3, 18, "facts = { \"\xC3\xA9\xE2\x82\xAC\" = 1 }", std::string(18, ' ') + "^",
             "invalid type: integer `1`, expected a string")},
      // A carriage return before the line feed is not part of the source line.
      {"host = \"h\"\r\nresources = 5\r\n",
       block(2, 13, "resources = 5", std::string(13, ' ') + "^", "invalid type: integer `5`, expected a sequence")},
      // A value that runs over several lines is marked to the end of its first line.
      {"host = [\n  1,\n]\n", block(1, 8, "host = [", "        ^", "invalid type: sequence, expected a string")},
      {"host = \"\"\"\nmulti\nline\"\"\"\nresources = { }\n",
       block(4, 13, "resources = { }", std::string(13, ' ') + "^^^", "invalid type: map, expected a sequence")},
      // A byte-order mark is dropped before positions are counted.
      {"\xEF\xBB\xBFhost = 5\n", block(1, 8, "host = 5", "        ^", "invalid type: integer `5`, expected a string")},
  });
}

// The wording of syntax errors is the TOML library's; the layout around it
// and the single caret at the fault's place are ours.
TEST(ParseBundleFaults, SyntaxErrors) {
  struct SyntaxCase {
    std::string text;
    std::string head;  // the lines up to the carets
  } cases[] = {
      {"x y\n", "TOML parse error at line 1, column 3\n  |\n1 | x y\n  |   ^\n"},
      {"host = \"h\"\nresources = [\n", "TOML parse error at line 2, column 15\n  |\n2 | resources = [\n  |               ^\n"},
      {"host = \"a\"\nhost = \"b\"\n", "TOML parse error at line 2, column "},
      {"host = \"h\"\nresources = []\n[facts]\n[facts]\n", "TOML parse error at line 4, column 1\n  |\n4 | [facts]\n  | ^\n"},
      {"host = \"h\"\n[[resources]]\nresource_type = \"a\"\nresource_type = \"b\"\n",
       "TOML parse error at line 4, column "},
      // Only one byte-order mark is dropped.
      {"\xEF\xBB\xBF\xEF\xBB\xBFhost = \"h\"\nresources = []\n", "TOML parse error at line 1, column 1\n"},
  };
  for (const auto& c : cases) {
    const std::string fault = fault_of(c.text);
    EXPECT_EQ(fault.substr(0, c.head.size()), c.head) << fault;
    EXPECT_EQ(fault.back(), '\n');
    EXPECT_EQ(fault.find("duplicate field"), std::string::npos) << fault;
    EXPECT_EQ(fault.find("missing field"), std::string::npos) << fault;
  }
  // The library names the key given twice.
  EXPECT_NE(fault_of("host = \"a\"\nhost = \"b\"\n").find("'host'"), std::string::npos);
}

}  // namespace
}  // namespace toln
