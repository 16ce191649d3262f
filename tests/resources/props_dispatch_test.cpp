// The property accessors and the dispatcher's turning of errors into failed
// results.
#include <gtest/gtest.h>

#include "harness/sandbox.hpp"
#include "resources/dispatch.hpp"
#include "resources/props.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

using namespace toln::testing;

TEST(PropertyAccessors, OnlyTheirOwnKindCounts) {
  const ResolvedResource r = make_resource(
      "demo", "d",
      {{"text", text("  kept as written  ")},
       {"empty", text("")},
       {"number", integer(5)},
       {"flag", boolean(true)},
       {"true-text", text("true")},
       {"list", TomlValue{TomlArray{{std::string("a")}}}},
       {"table", TomlValue{TomlTable{{"k", {std::string("v")}}}}}});

  EXPECT_EQ(prop_str(r, "text"), "  kept as written  ");
  EXPECT_EQ(prop_str(r, "empty"), "");
  for (const char* key : {"number", "flag", "list", "table", "missing"}) {
    SCOPED_TRACE(key);
    EXPECT_FALSE(prop_str(r, key));
    EXPECT_EQ(prop_str_or(r, key, "fallback"), "fallback");
    const auto required = prop_required(r, key);
    ASSERT_FALSE(required);
    EXPECT_EQ(required.error().kind(), AgentError::Resource);
    EXPECT_EQ(display_agent_error(required.error()), "resource error: demo resource requires '" + std::string(key) + "'");
  }
  EXPECT_EQ(prop_str_or(r, "empty", "fallback"), "") << "an empty string is a present value";
  EXPECT_EQ(prop_required(r, "text").value(), "  kept as written  ");
  EXPECT_EQ(prop_str(r, "Text"), std::nullopt) << "keys are compared exactly";

  EXPECT_EQ(prop_bool(r, "flag"), true);
  EXPECT_EQ(prop_bool(r, "true-text"), std::nullopt);
  EXPECT_EQ(prop_bool(r, "number"), std::nullopt);
}

TEST(Dispatcher, ErrorsBecomeFailedResultsWithTheWholeDisplayText) {
  TOLN_REQUIRE_SANDBOX();
  Sandbox sandbox;
  sandbox.run_in_process([] {
    // Definitions named like a built-in type change nothing: the file
    // handler runs and reports its own error.
    const ResourceDefTable defs = {{"file", ResourceDef{"", {}, "touch def-ran; exit 0", "touch def-ran"}}};
    const ProviderDefTable providers = {{"file", ProviderDef{"", {"sh"}, "touch provider-ran", {}}}};
    const struct {
      std::string type;
      TomlTable props;
      std::string error;
    } cases[] = {
        {"File", {}, "resource error: unknown resource type: File"},
        {"file", {{"path", integer(5)}}, "resource error: file resource requires 'path'"},
        {"file", {{"path", text("x")}, {"mode", text("0o644")}}, "resource error: invalid mode: 0o644"},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.error);
      const ResourceResult result = apply_resource(make_resource(c.type, "n", c.props), false, false, defs, providers);
      EXPECT_EQ(result.type, c.type);
      EXPECT_EQ(result.name, "n");
      EXPECT_EQ(result.status, ResourceStatus::Failed);
      EXPECT_EQ(result.error, c.error);
      EXPECT_FALSE(result.diff || result.from || result.to || result.output || result.failure_kind);
      EXPECT_TRUE(result.changes.empty());
    }
    EXPECT_FALSE(std::filesystem::exists("def-ran"));
    EXPECT_FALSE(std::filesystem::exists("provider-ran"));
  });
}

}  // namespace
}  // namespace toln
