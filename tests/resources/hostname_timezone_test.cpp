// The hostname and timezone handlers in the sandbox: a real /etc/hostname in
// the overlaid /etc, which the fake hostnamectl rewrites as the real one
// would, and a fake timedatectl keeping the zone in $TOLN_FAKE_STATE.
#include "resources/hostname_timezone.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include "harness/sandbox.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

using testing::Invocation;
using testing::Sandbox;
using testing::error_of;

ResolvedResource resource(std::string type, TomlTable props) {
  ResolvedResource r;
  r.resource_type = std::move(type);
  r.name = "this-host";
  r.props = std::move(props);
  return r;
}

ResolvedResource hostname(std::string name) { return resource("hostname", {{"hostname", TomlValue{std::move(name)}}}); }
ResolvedResource timezone(std::string zone) { return resource("timezone", {{"timezone", TomlValue{std::move(zone)}}}); }

void expect_result(const HandlerResult& result, const std::string& type, std::optional<std::string> diff) {
  ASSERT_TRUE(result) << error_of(result);
  EXPECT_EQ(result->type, type);
  EXPECT_EQ(result->name, "this-host");
  EXPECT_EQ(result->status, diff ? ResourceStatus::Changed : ResourceStatus::Ok);
  EXPECT_EQ(result->diff, diff);
}

const Invocation kShowZone = {"timedatectl", "show", "-p", "Timezone", "--value"};

class HostSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    TOLN_REQUIRE_SANDBOX();
    // As the real one, it stores a name cleaned of what a static host name
    // may not hold, without a trailing dot, cut to 64 characters.
    sandbox.add_fake("hostnamectl", R"(if [ -e "$TOLN_FAKE_STATE/fails" ]; then echo "Could not set hostname: Access denied" >&2; exit 1; fi
printf '%s' "$2" | tr -cd 'A-Za-z0-9.-' | sed 's/\.*$//' | cut -c1-64 > /etc/hostname)");
    sandbox.add_fake("timedatectl", R"(zone="$TOLN_FAKE_STATE/zone"
case "$1" in
  show) [ -f "$zone" ] || { echo "Failed to query server: Connection refused" >&2; exit 1; }; cat "$zone" ;;
  set-timezone) if [ -e "$TOLN_FAKE_STATE/fails" ]; then echo "Invalid or unknown time zone '$2'" >&2; exit 1; fi
    printf '%s\n' "$2" > "$zone" ;;
esac)");
  }
  void write_state(const std::string& name, const std::string& content) {
    std::ofstream(sandbox.state_dir() / name) << content;
  }
  Sandbox sandbox;
};

TEST_F(HostSettings, HostnameIsSetOnceThenOk) {
  sandbox.write_upper("/etc/hostname", "old-name\n");
  sandbox.run_in_process([] {
    expect_result(apply_hostname(hostname("web-02"), false), "hostname", "hostname old-name -> web-02");
    expect_result(apply_hostname(hostname("web-02"), false), "hostname", std::nullopt);
  });
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{{"hostnamectl", "set-hostname", "web-02"}}));
  EXPECT_EQ(sandbox.read_upper("/etc/hostname"), "web-02\n");
}

TEST_F(HostSettings, HostnameCurrentValue) {
  struct Case {
    std::optional<std::string> file;  // absent: no /etc/hostname
    std::string wanted;
    std::optional<std::string> diff;
  } cases[] = {
      {" web-01\r\n\n", "web-01", std::nullopt},
      {std::nullopt, "web-01", "hostname  -> web-01"},
      {"\xff\n", "web-01", "hostname  -> web-01"},
  };
  for (const auto& c : cases) {
    if (c.file) {
      sandbox.write_upper("/etc/hostname", *c.file);
    } else {
      sandbox.whiteout("/etc/hostname");
    }
    sandbox.run_in_process([&] { expect_result(apply_hostname(hostname(c.wanted), true), "hostname", c.diff); });
  }
  EXPECT_EQ(sandbox.invocations(), std::vector<Invocation>{}) << "dry-run changes nothing";
}

TEST_F(HostSettings, HostnameFailure) {
  sandbox.write_upper("/etc/hostname", "old-name\n");
  write_state("fails", "");
  sandbox.run_in_process([] {
    EXPECT_EQ(error_of(apply_hostname(hostname("web-02"), false)),
              "resource error: set-hostname failed: Could not set hostname: Access denied\n");
    EXPECT_EQ(error_of(apply_hostname(resource("hostname", {{"hostname", TomlValue{true}}}), false)),
              "resource error: hostname resource requires 'hostname'");
  });
  EXPECT_EQ(sandbox.read_upper("/etc/hostname"), "old-name\n");
}

TEST_F(HostSettings, TimezoneIsSetOnceThenOk) {
  write_state("zone", "Europe/Berlin\n");
  sandbox.run_in_process([] {
    expect_result(apply_timezone(timezone("UTC"), true), "timezone", "timezone Europe/Berlin -> UTC");
    expect_result(apply_timezone(timezone("UTC"), false), "timezone", "timezone Europe/Berlin -> UTC");
    expect_result(apply_timezone(timezone("UTC"), false), "timezone", std::nullopt);
  });
  EXPECT_EQ(sandbox.invocations(),
            (std::vector<Invocation>{kShowZone, kShowZone, {"timedatectl", "set-timezone", "UTC"}, kShowZone}));
}

TEST_F(HostSettings, TimezoneProbeFailingCountsAsEmpty) {
  sandbox.run_in_process(
      [] { expect_result(apply_timezone(timezone("UTC"), false), "timezone", "timezone  -> UTC"); });
  write_state("fails", "");
  sandbox.run_in_process([] {
    EXPECT_EQ(error_of(apply_timezone(timezone("Mars/Olympus"), false)),
              "resource error: set-timezone failed: Invalid or unknown time zone 'Mars/Olympus'\n");
    EXPECT_EQ(error_of(apply_timezone(resource("timezone", {}), false)),
              "resource error: timezone resource requires 'timezone'");
  });
}

}  // namespace
}  // namespace toln

namespace toln {
namespace {

// Names hostnamectl stores as given converge; any other is refused before
// anything runs, in dry-run too, since /etc/hostname would never match it.
TEST_F(HostSettings, HostnameRules) {
  const std::string label63(63, 'a');
  const struct {
    std::string name;
    std::optional<std::string> refusal;
  } cases[] = {
      {"web-01", std::nullopt},
      {"Web01", std::nullopt},
      {"WEB-01.Example.ORG", std::nullopt},
      {"9.0-a.b", std::nullopt},
      {label63 + "b", std::nullopt},
      {label63 + "bc", "must be at most 64 characters"},
      {"Web_01", "may hold only ASCII letters, digits, '-' and '.'"},
      {"web 01", "may hold only ASCII letters, digits, '-' and '.'"},
      {"web-01 ", "may hold only ASCII letters, digits, '-' and '.'"},
      {"w\u00e9b", "may hold only ASCII letters, digits, '-' and '.'"},
      {"web01.example.org.", "must not begin or end with '.'"},
      {".web01", "must not begin or end with '.'"},
      {".", "must not begin or end with '.'"},
      {"web01..example", "must not hold an empty label ('..')"},
      {"-web01", "must not begin with '-'"},
      {"web01-", "must not hold a label beginning or ending with '-'"},
      {"web01.-example", "must not hold a label beginning or ending with '-'"},
      {"web01-.example", "must not hold a label beginning or ending with '-'"},
  };
  for (const auto& c : cases) {
    sandbox.write_upper("/etc/hostname", "old-name\n");
    sandbox.clear_invocations();
    sandbox.run_in_process([&] {
      if (c.refusal) {
        for (bool dry_run : {true, false}) {
          EXPECT_EQ(error_of(apply_hostname(hostname(c.name), dry_run)),
                    "resource error: hostname resource: 'hostname' " + *c.refusal + ": " + c.name);
        }
        return;
      }
      expect_result(apply_hostname(hostname(c.name), true), "hostname", "hostname old-name -> " + c.name);
      expect_result(apply_hostname(hostname(c.name), false), "hostname", "hostname old-name -> " + c.name);
      expect_result(apply_hostname(hostname(c.name), false), "hostname", std::nullopt);
    });
    const std::vector<Invocation> changes =
        c.refusal ? std::vector<Invocation>{} : std::vector<Invocation>{{"hostnamectl", "set-hostname", c.name}};
    EXPECT_EQ(sandbox.invocations(), changes) << c.name;
    EXPECT_EQ(sandbox.read_upper("/etc/hostname"), c.refusal ? "old-name\n" : c.name + "\n") << c.name;
  }
}

// An empty name would unset the static host name; where there is no
// /etc/hostname it would even read as already set.
TEST_F(HostSettings, EmptyHostnameIsRefusedBeforeAnythingRuns) {
  for (const bool has_file : {true, false}) {
    if (has_file) {
      sandbox.write_upper("/etc/hostname", "old-name\n");
    } else {
      sandbox.whiteout("/etc/hostname");
    }
    sandbox.run_in_process([] {
      for (bool dry_run : {true, false}) {
        EXPECT_EQ(error_of(apply_hostname(hostname(""), dry_run)),
                  "resource error: hostname resource: 'hostname' must not be empty");
      }
    });
  }
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{}));
  EXPECT_TRUE(sandbox.is_whiteout("/etc/hostname"));
}

TEST_F(HostSettings, OptionLikeValuesAreRefusedBeforeAnythingRuns) {
  sandbox.run_in_process([] {
    for (bool dry_run : {true, false}) {
      EXPECT_EQ(error_of(apply_hostname(hostname("-Hroot@elsewhere"), dry_run)),
                "resource error: hostname resource: 'hostname' must not begin with '-': -Hroot@elsewhere");
      EXPECT_EQ(error_of(apply_timezone(timezone("--help"), dry_run)),
                "resource error: timezone resource: 'timezone' must not begin with '-': --help");
    }
  });
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{}));
}

}  // namespace
}  // namespace toln
