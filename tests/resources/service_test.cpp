// service against a fake systemctl that keeps its units' state in
// $TOLN_FAKE_STATE.
#include "resources/service.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include "harness/sandbox.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

using testing::Invocation;
using testing::RunResult;
using testing::Sandbox;
using testing::error_of;
using testing::text;

// "active-UNIT" marks a running unit. "enabled-UNIT" holds what is-enabled
// prints (else "disabled"), "enabled-status-UNIT" its exit status (else 0).
// "fail-VERB-UNIT" makes the verb print the file to standard error and fail.
constexpr std::string_view kSystemctl = R"~(S="$TOLN_FAKE_STATE"
unit="$2"
fail() { if [ -e "$S/fail-$1-$unit" ]; then cat "$S/fail-$1-$unit" >&2; exit 1; fi; }
case "$1" in
  is-active) if [ -e "$S/active-$unit" ]; then echo active; exit 0; fi; echo inactive; exit 3 ;;
  is-enabled)
    if [ -e "$S/enabled-$unit" ]; then cat "$S/enabled-$unit"; exit "$(cat "$S/enabled-status-$unit" 2>/dev/null || echo 0)"; fi
    echo disabled; exit 1 ;;
  start) fail start; : > "$S/active-$unit" ;;
  stop) fail stop; rm -f "$S/active-$unit" ;;
  enable) fail enable; echo enabled > "$S/enabled-$unit" ;;
  disable) fail disable; rm -f "$S/enabled-$unit" ;;
  *) exit 2 ;;
esac)~";

ResolvedResource service(TomlTable props, std::string name = "svc") {
  ResolvedResource r;
  r.resource_type = "service";
  r.name = std::move(name);
  r.props = std::move(props);
  return r;
}

class Service : public ::testing::Test {
 protected:
  void SetUp() override {
    TOLN_REQUIRE_SANDBOX();
    sandbox.add_fake("systemctl", kSystemctl);
  }
  void set_state(const std::string& file, const std::string& content = "") {
    std::ofstream(sandbox.state_dir() / file) << content;
  }
  Sandbox sandbox;
};

constexpr std::string_view kWebBundle = R"(host = "h"
[[resources]]
resource_type = "service"
name = "web"
props = { name = "nginx.service", enabled = true }
)";

TEST_F(Service, StartsAndEnablesOnceThenOnlyProbes) {
  const RunResult first = sandbox.run_agent({}, std::string(kWebBundle));
  EXPECT_EQ(first.out,
            R"({"host":"h","resources":[{"type":"service","name":"web","status":"changed",)"
            R"("diff":"nginx.service: stopped → running, nginx.service: disabled → enabled"}],)"
            R"("summary":{"changed":1,"ok":0,"failed":0,"skipped":0}})"
            "\n");
  EXPECT_EQ(first.exit_status, 0) << first.err;
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{{"systemctl", "is-active", "nginx.service"},
                                                            {"systemctl", "start", "nginx.service"},
                                                            {"systemctl", "is-enabled", "nginx.service"},
                                                            {"systemctl", "enable", "nginx.service"}}));

  sandbox.clear_invocations();
  const RunResult second = sandbox.run_agent({}, std::string(kWebBundle));
  EXPECT_EQ(second.out,
            R"({"host":"h","resources":[{"type":"service","name":"web","status":"ok"}],)"
            R"("summary":{"changed":0,"ok":1,"failed":0,"skipped":0}})"
            "\n");
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{{"systemctl", "is-active", "nginx.service"},
                                                            {"systemctl", "is-enabled", "nginx.service"}}));
}

TEST_F(Service, DryRunOnlyProbes) {
  const RunResult run = sandbox.run_agent({"--dry-run"}, std::string(kWebBundle));
  EXPECT_EQ(run.out,
            R"({"host":"h","resources":[{"type":"service","name":"web","status":"changed",)"
            R"("diff":"nginx.service: stopped → running, nginx.service: disabled → enabled"}],)"
            R"("summary":{"changed":1,"ok":0,"failed":0,"skipped":0}})"
            "\n");
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{{"systemctl", "is-active", "nginx.service"},
                                                            {"systemctl", "is-enabled", "nginx.service"}}));
}

TEST_F(Service, RunningStateAndEnablement) {
  struct Case {
    std::string unit;
    TomlTable props;  // besides name
    std::vector<std::pair<std::string, std::string>> state;
    std::vector<std::string> verbs;
    std::optional<std::string> diff;
  };
  std::vector<Case> cases = {
      {"a", {{"state", text("stopped")}}, {}, {"is-active"}, std::nullopt},
      {"b", {{"state", text("stopped")}}, {{"active-b", ""}}, {"is-active", "stop"}, "b: running → stopped"},
      {"c", {{"state", text("Running")}}, {}, {"is-active"}, std::nullopt},
      {"d",
       {{"state", text("restarted")}, {"enabled", TomlValue{false}}},
       {{"enabled-d", "enabled\n"}},
       {"is-active", "is-enabled", "disable"},
       "d: enabled → disabled"},
      {"e", {{"enabled", text("true")}}, {{"active-e", ""}}, {"is-active"}, std::nullopt},
      {"f", {{"enabled", TomlValue{true}}}, {{"active-f", ""}, {"enabled-f", "static\n"}}, {"is-active", "is-enabled"},
       std::nullopt},
      {"g",
       {{"enabled", TomlValue{false}}},
       {{"active-g", ""}, {"enabled-g", "enabled-runtime\n"}, {"enabled-status-g", "1"}},
       {"is-active", "is-enabled", "disable"},
       "g: enabled → disabled"},
      {"h",
       {{"enabled", TomlValue{true}}},
       {{"active-h", ""}, {"enabled-h", "  enabled-runtime\n"}, {"enabled-status-h", "1"}},
       {"is-active", "is-enabled"},
       std::nullopt},
      {"i",
       {{"enabled", TomlValue{true}}},
       {{"active-i", ""}, {"enabled-i", ""}},
       {"is-active", "is-enabled", "enable"},
       "i: disabled → enabled"},
  };
  // Each is-enabled answer of systemd, printed with exit status 0, against
  // both wishes: true leaves every answer systemd counts as enabled alone,
  // false disables only what the unit's [Install] section enabled.
  const struct {
    const char* answer;
    bool enabled;         // counts as enabled for enabled = true
    bool disable_undoes;  // counts as enabled for enabled = false
  } answers[] = {
      {"enabled", true, true},
      {"enabled-runtime", true, true},
      {"static", true, false},
      {"indirect", true, false},
      {"generated", true, false},
      {"transient", true, false},
      {"alias", true, false},
      {"disabled", false, false},
      {"linked", false, false},
      {"linked-runtime", false, false},
      {"masked", false, false},
      {"masked-runtime", false, false},
      {"bad", false, false},
      {"not-found", false, false},
  };
  for (const auto& a : answers) {
    for (bool wanted : {true, false}) {
      const std::string unit = std::string(a.answer) + (wanted ? "-on" : "-off");
      Case c{unit,
             {{"enabled", TomlValue{wanted}}},
             {{"active-" + unit, ""}, {"enabled-" + unit, std::string(a.answer) + "\n"}},
             {"is-active", "is-enabled"},
             std::nullopt};
      if (wanted && !a.enabled) {
        c.verbs.push_back("enable");
        c.diff = unit + ": disabled → enabled";
      }
      if (!wanted && a.disable_undoes) {
        c.verbs.push_back("disable");
        c.diff = unit + ": enabled → disabled";
      }
      cases.push_back(std::move(c));
    }
  }
  for (const auto& c : cases) {
    for (const auto& [file, content] : c.state) set_state(file, content);
  }
  sandbox.run_in_process([&] {
    for (const auto& c : cases) {
      sandbox.clear_invocations();
      TomlTable props = c.props;
      props["name"] = text(c.unit);
      auto result = apply_service(service(props), false);
      ASSERT_TRUE(result) << c.unit << ": " << error_of(result);
      EXPECT_EQ(result->status, c.diff ? ResourceStatus::Changed : ResourceStatus::Ok) << c.unit;
      EXPECT_EQ(result->diff, c.diff) << c.unit;
      std::vector<Invocation> expected;
      for (const auto& verb : c.verbs) expected.push_back({"systemctl", verb, c.unit});
      EXPECT_EQ(sandbox.invocations(), expected) << c.unit;

      // The second run finds the unit in state and only probes it.
      sandbox.clear_invocations();
      auto again = apply_service(service(props), false);
      ASSERT_TRUE(again) << c.unit << ": " << error_of(again);
      EXPECT_EQ(again->status, ResourceStatus::Ok) << c.unit << ": " << again->diff.value_or("");
      std::erase_if(expected, [](const Invocation& i) { return !i[1].starts_with("is-"); });
      EXPECT_EQ(sandbox.invocations(), expected) << c.unit;
    }
  });
}

TEST_F(Service, FailingVerbEndsTheResource) {
  set_state("fail-start-db", "Job for db.service failed.\n");
  set_state("active-cache");
  set_state("fail-stop-cache", "Access denied");
  sandbox.run_in_process([this] {
    auto start = apply_service(service({{"name", text("db")}, {"enabled", TomlValue{true}}}), false);
    EXPECT_EQ(error_of(start), "resource error: systemctl start db failed: Job for db.service failed.\n");
    EXPECT_EQ(sandbox.invocations(),
              (std::vector<Invocation>{{"systemctl", "is-active", "db"}, {"systemctl", "start", "db"}}));

    auto stop = apply_service(service({{"name", text("cache")}, {"state", text("stopped")}}), false);
    EXPECT_EQ(error_of(stop), "resource error: systemctl stop cache failed: Access denied");
    EXPECT_TRUE(systemctl_verb("enable", "cache").ok());
    EXPECT_TRUE(std::filesystem::exists(sandbox.state_dir() / "enabled-cache"));
  });
}

TEST_F(Service, BadNamesRunNothing) {
  sandbox.run_in_process([this] {
    EXPECT_EQ(error_of(apply_service(service({}), false)), "resource error: service resource requires 'name'");
    EXPECT_EQ(error_of(apply_service(service({{"name", TomlValue{std::int64_t{3}}}}), false)),
              "resource error: service resource requires 'name'");
    EXPECT_EQ(error_of(apply_service(service({{"name", text("--root=/tmp")}}), false)),
              "resource error: invalid service name: --root=/tmp");
    EXPECT_EQ(sandbox.invocations(), std::vector<Invocation>{});
    EXPECT_EQ(error_of(apply_service(service({{"name", text(std::string("a\0b", 3))}}), false)),
              "resource error: failed to run systemctl: nul byte found in provided data");
  });
}

}  // namespace
}  // namespace toln
