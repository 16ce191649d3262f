// Shell-defined resource types: the parameter texts in process, the rest
// through the real agent with real sh in the sandbox.
#include "resources/resource_def.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>

#include "resources/agent_report.hpp"

namespace toln {
namespace {

using testing::AgentReport;
using testing::Sandbox;
using testing::run_bundle;
using testing::toml_string;
using Json = nlohmann::json;
using namespace std::string_literals;

TEST(ParamEnvValue, TextOfEveryKind) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    TomlValue value;
    std::optional<std::string> text;
  } cases[] = {
      {{std::string("a b=c\n")}, "a b=c\n"},
      {{std::string()}, ""},
      {{std::int64_t{8080}}, "8080"},
      {{std::int64_t{-5}}, "-5"},
      {{std::numeric_limits<std::int64_t>::min()}, "-9223372036854775808"},
      {{1.0}, "1"},
      {{2.5}, "2.5"},
      {{0.1}, "0.1"},
      {{1e20}, "100000000000000000000"},
      {{1e23}, "100000000000000000000000"},
      {{6.02e23}, "602000000000000000000000"},
      {{1e-7}, "0.0000001"},
      {{-0.0}, "-0"},
      {{nan}, "NaN"},
      {{inf}, "inf"},
      {{-inf}, "-inf"},
      {{true}, "true"},
      {{false}, "false"},
      {{TomlDateTime{TomlDate{2024, 1, 2}, std::nullopt, std::nullopt}}, std::nullopt},
      {{TomlArray{TomlValue{std::string("x")}}}, std::nullopt},
      {{TomlTable{}}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(param_env_value(c.value), c.text) << c.text.value_or("(none)");
}

class ResourceDefs : public ::testing::Test {
 protected:
  void SetUp() override { TOLN_REQUIRE_SANDBOX(); }
  bool marked(const std::string& name) const { return std::filesystem::exists(sandbox.scratch_dir() / name); }
  Sandbox sandbox;
};

// The check lists the TOLN_PARAM_ entries of its own environment exactly as
// the agent passed them (a shell would drop names it cannot read, such as
// my-port) and asks for a change; the apply would leave a mark.
TEST_F(ResourceDefs, ParametersAndDefaultsReachBothCommandsAsText) {
  const std::string bundle = R"~(host = "h"
[[resources]]
resource_type = "probe"
name = "kinds"
[resources.props]
s = "a b=c"
empty = ""
i = 8080
neg = -5
whole = 1.0
half = 2.5
big = 1e20
tiny = 1e-7
negzero = -0.0
nan = nan
inf = -inf
yes = true
no = false
my-port = "1"
dt = 1979-05-27T07:32:00Z
arr = [1]
tbl = { a = 1 }
given = "prop wins"
undeclared = "u"
[[resources]]
resource_type = "lines"
name = "text"
props = { text = " two\nlines " }

[resource_defs.probe]
check = '''tr '\0' '\n' < /proc/$$/environ | grep -e ^TOLN_PARAM_ -e ^PATH= | LC_ALL=C sort; exit 1'''
apply = "touch applied"
[resource_defs.probe.params]
s = {}
empty = {}
i = {}
neg = {}
whole = {}
half = {}
big = {}
tiny = {}
negzero = {}
nan = {}
inf = {}
yes = {}
no = {}
my-port = { type = "integer", required = true, enum = ["2"] }
dt = { default = "hidden by the date-time" }
arr = { default = "hidden by the array" }
tbl = { default = "hidden by the table" }
given = { default = "not used" }
dflt = { default = "from default" }
dflt_int = { default = 7 }
dflt_float = { default = 0.5 }
dflt_bool = { default = false }
dflt_arr = { default = [1] }
dflt_dt = { default = 07:32:00 }
absent = { required = true }

[resource_defs.lines]
check = 'printf "[%s]" "$TOLN_PARAM_text"; exit 1'
apply = '''[ "$TOLN_PARAM_text" = " two
lines " ] && touch lines-applied'''
params = { text = {} }
)~";
  const std::string expected =
      "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin\n"
      "TOLN_PARAM_big=100000000000000000000\n"
      "TOLN_PARAM_dflt=from default\n"
      "TOLN_PARAM_dflt_bool=false\n"
      "TOLN_PARAM_dflt_float=0.5\n"
      "TOLN_PARAM_dflt_int=7\n"
      "TOLN_PARAM_empty=\n"
      "TOLN_PARAM_given=prop wins\n"
      "TOLN_PARAM_half=2.5\n"
      "TOLN_PARAM_i=8080\n"
      "TOLN_PARAM_inf=-inf\n"
      "TOLN_PARAM_my-port=1\n"
      "TOLN_PARAM_nan=NaN\n"
      "TOLN_PARAM_neg=-5\n"
      "TOLN_PARAM_negzero=-0\n"
      "TOLN_PARAM_no=false\n"
      "TOLN_PARAM_s=a b=c\n"
      "TOLN_PARAM_tiny=0.0000001\n"
      "TOLN_PARAM_whole=1\n"
      "TOLN_PARAM_yes=true";

  const AgentReport dry = run_bundle(sandbox, bundle, true);
  EXPECT_EQ(dry.entry("kinds"), Json({{"type", "probe"}, {"name", "kinds"}, {"status", "changed"}, {"diff", expected}}));
  EXPECT_EQ(dry.entry("text")["diff"], "[ two\nlines ]");
  EXPECT_FALSE(marked("applied"));
  EXPECT_FALSE(marked("lines-applied"));

  const AgentReport real = run_bundle(sandbox, bundle, false);
  EXPECT_EQ(real.entry("kinds")["diff"], expected);
  EXPECT_TRUE(marked("applied"));
  EXPECT_EQ(real.entry("text"),
            Json({{"type", "lines"}, {"name", "text"}, {"status", "changed"}, {"diff", "[ two\nlines ]"}}));
  EXPECT_TRUE(marked("lines-applied")) << "the apply sees the same parameters";
}

// One type whose check and apply are the resource's own parameters, so each
// row of the table is one resource of one bundle.
struct StatusCase {
  std::string name;
  std::string check;
  std::string apply;
  Json dry_run;  // the report entry without type and name
  Json real_run;
  bool applies;  // the real run's apply leaves the mark {name}.applied
};

TEST_F(ResourceDefs, CheckStatusDecides) {
  const std::string long_err = "printf '%1999s\\303\\251%s' '' tail | tr ' ' x >&2; exit 3";
  const std::string cut_err = "state check failed (exit 3): " + std::string(1999, 'x') + "...(truncated)";
  const std::string long_out(5000, 'o');
  const Json changed_would = {{"status", "changed"}, {"diff", "would change"}};
  const std::vector<StatusCase> cases = {
      {"in-state", "echo in state; exit 0", "touch in-state.applied", {{"status", "ok"}}, {{"status", "ok"}}, false},
      {"needs-update", "echo needs update; exit 1", "touch needs-update.applied; echo ignored; echo ignored >&2",
       {{"status", "changed"}, {"diff", "needs update"}}, {{"status", "changed"}, {"diff", "needs update"}}, true},
      {"silent", "exit 1", "touch silent.applied; echo ignored", changed_would,
       {{"status", "changed"}, {"diff", "changed"}}, true},
      {"blank-output", "printf ' \\n\\t'; exit 1", "touch blank-output.applied", changed_would,
       {{"status", "changed"}, {"diff", "changed"}}, true},
      {"long-output", "printf '%5000s' '' | tr ' ' o; exit 1", "touch long-output.applied",
       {{"status", "changed"}, {"diff", long_out}}, {{"status", "changed"}, {"diff", long_out}}, true},
      {"check-exit-2", "echo out; echo boom >&2; exit 2", "touch check-exit-2.applied",
       {{"status", "failed"}, {"error", "state check failed (exit 2): boom\n"}},
       {{"status", "failed"}, {"error", "state check failed (exit 2): boom\n"}}, false},
      {"check-exit-255", "exit 255", "touch check-exit-255.applied",
       {{"status", "failed"}, {"error", "state check failed (exit 255): "}},
       {{"status", "failed"}, {"error", "state check failed (exit 255): "}}, false},
      {"check-long-stderr", long_err, "touch check-long-stderr.applied", {{"status", "failed"}, {"error", cut_err}},
       {{"status", "failed"}, {"error", cut_err}}, false},
      {"check-killed", "echo dying >&2; kill -9 $$", "touch check-killed.applied",
       {{"status", "failed"}, {"error", "state check terminated by signal: dying\n"}},
       {{"status", "failed"}, {"error", "state check terminated by signal: dying\n"}}, false},
      {"apply-fails", "echo drift; exit 1", "touch apply-fails.applied; echo out; echo nope >&2; exit 3",
       {{"status", "changed"}, {"diff", "drift"}}, {{"status", "failed"}, {"error", "state apply failed: nope\n"}},
       true},
      {"apply-killed", "exit 1", "touch apply-killed.applied; echo killed >&2; kill -9 $$", changed_would,
       {{"status", "failed"}, {"error", "state apply failed: killed\n"}}, true},
  };
  std::string bundle = "host = \"h\"\n";
  for (const auto& c : cases) {
    bundle += "[[resources]]\nresource_type = \"state\"\nname = \"" + c.name + "\"\nprops = { check = " +
              toml_string(c.check) + ", apply = " + toml_string(c.apply) + " }\n";
  }
  bundle += R"~([resource_defs.state]
check = 'eval "$TOLN_PARAM_check"'
apply = 'eval "$TOLN_PARAM_apply"'
params = { check = {}, apply = {} }
)~";

  auto entry_of = [](const StatusCase& c, const Json& outcome) {
    Json entry = {{"type", "state"}, {"name", c.name}};
    entry.update(outcome);
    return entry;
  };
  const AgentReport dry = run_bundle(sandbox, bundle, true);
  for (const auto& c : cases) {
    EXPECT_EQ(dry.entry(c.name), entry_of(c, c.dry_run)) << c.name;
    EXPECT_FALSE(marked(c.name + ".applied")) << c.name << ": no apply in a dry run";
  }
  EXPECT_EQ(dry.run.exit_status, 2);

  const AgentReport real = run_bundle(sandbox, bundle, false);
  for (const auto& c : cases) {
    EXPECT_EQ(real.entry(c.name), entry_of(c, c.real_run)) << c.name;
    EXPECT_EQ(marked(c.name + ".applied"), c.applies) << c.name;
  }
  EXPECT_EQ(real.run.exit_status, 2);
}

// Environment entries that cannot be passed start nothing; the run goes on.
TEST_F(ResourceDefs, ParametersThatCannotBePassedFailTheResource) {
  const std::string bundle = R"~(host = "h"
[[resources]]
resource_type = "guarded"
name = "nul"
props = { v = "a\u0000b" }
[[resources]]
resource_type = "guarded"
name = "equals-sign"
props = { "a=b" = "1" }
[[resources]]
resource_type = "guarded"
name = "nul-in-name"
props = { "a\u0000b" = "1" }
[[resources]]
resource_type = "guarded"
name = "float-under-bad-name"
props = { "a=b" = 1.5e300 }
[[resources]]
resource_type = "guarded"
name = "no-text-under-bad-name"
props = { "a=b" = [1], v = {} }
[resource_defs.guarded]
check = 'touch "checked-$$"; exit 0'
apply = "true"
params = { v = {}, "a=b" = { default = [] }, "a\u0000b" = {} }
)~";
  const AgentReport result = run_bundle(sandbox, bundle, false);
  EXPECT_EQ(result.entry("nul")["error"],
            "resource error: env var TOLN_PARAM_v contains a NUL byte, which is not allowed in process environment "
            "values");
  EXPECT_EQ(result.entry("equals-sign")["error"],
            "resource error: env var name 'TOLN_PARAM_a=b' is not allowed: names must be non-empty and hold no '=' "
            "or NUL byte");
  EXPECT_EQ(result.entry("nul-in-name")["error"],
            "resource error: env var name 'TOLN_PARAM_a\0b' is not allowed: names must be non-empty and hold no '=' "
            "or NUL byte"s);
  EXPECT_EQ(result.entry("float-under-bad-name")["error"], result.entry("equals-sign")["error"]);
  EXPECT_EQ(result.entry("no-text-under-bad-name")["status"], "ok") << "a value without a text gives no entry";
  std::size_t checks = 0;
  for (const auto& item : std::filesystem::directory_iterator(sandbox.scratch_dir())) {
    checks += item.path().filename().string().starts_with("checked-");
  }
  EXPECT_EQ(checks, 1u) << "only the resource without a bad entry is checked";
}

}  // namespace
}  // namespace toln
