// pkg against fake package managers. The manager is detected once per
// process, so every case runs the agent (a new process per run) or calls
// the handler in a forked copy; this test process itself never detects.
#include "resources/pkg.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "harness/sandbox.hpp"
#include "resources/package_manager.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

using testing::Invocation;
using testing::RunResult;
using testing::Sandbox;
using testing::error_of;
using testing::text;

// Scenario in $TOLN_FAKE_STATE: "pkg-NAME" marks an installed package (for
// dpkg it holds the words of its Status line); "fail-WHAT" makes the command
// WHAT ("refresh", "install-NAME", "remove-NAME") print the file to
// standard error and exit with status 100.
constexpr std::string_view kScenario = R"~(S="$TOLN_FAKE_STATE"
fail() { if [ -e "$S/fail-$1" ]; then cat "$S/fail-$1" >&2; exit 100; fi; }
query() {
  if [ -e "$S/pkg-$1" ]; then printf '%s\n' "$1"; exit 0; fi
  echo "package $1 is not installed" >&2; exit 1
}
install() { fail "install-$1"; echo 'install ok installed' > "$S/pkg-$1"; }
remove() { fail "remove-$1"; rm -f "$S/pkg-$1"; }
)~";

struct Manager {
  const char* label;
  const char* program;  // what "which" finds
  std::vector<Invocation> detection;
  std::function<Invocation(const std::string&)> query, install, remove;
  Invocation refresh;
  std::vector<std::pair<const char*, const char*>> fakes;
};

const Manager kApt{
    "Apt",
    "apt-get",
    {{"which", "apt-get"}},
    [](const std::string& n) { return Invocation{"dpkg", "-s", n}; },
    [](const std::string& n) { return Invocation{"apt-get", "install", "-y", n}; },
    [](const std::string& n) { return Invocation{"apt-get", "remove", "-y", n}; },
    {"apt-get", "update", "-qq"},
    {{"dpkg", R"~([ "$1" = -s ] || exit 2
if [ -e "$S/pkg-$2" ]; then printf 'Package: %s\n Status: %s \nVersion: 1.0\n' "$2" "$(cat "$S/pkg-$2")"; exit 0; fi
echo "dpkg-query: package '$2' is not installed and no information is available" >&2; exit 1)~"},
     {"apt-get", R"~(case "$1 $2" in
  "update -qq") fail refresh ;;
  "install -y") install "$3" ;;
  "remove -y") remove "$3" ;;
  *) exit 2 ;;
esac)~"}},
};

const Manager kDnf{
    "Dnf",
    "dnf",
    {{"which", "apt-get"}, {"which", "dnf"}},
    [](const std::string& n) { return Invocation{"rpm", "-q", n}; },
    [](const std::string& n) { return Invocation{"dnf", "install", "-y", n}; },
    [](const std::string& n) { return Invocation{"dnf", "remove", "-y", n}; },
    {"dnf", "makecache", "-q"},
    {{"rpm", R"~([ "$1" = -q ] || exit 2; query "$2")~"},
     {"dnf", R"~(case "$1 $2" in
  "makecache -q") fail refresh ;;
  "install -y") install "$3" ;;
  "remove -y") remove "$3" ;;
  *) exit 2 ;;
esac)~"}},
};

const Manager kPacman{
    "Pacman",
    "pacman",
    {{"which", "apt-get"}, {"which", "dnf"}, {"which", "pacman"}},
    [](const std::string& n) { return Invocation{"pacman", "-Qi", n}; },
    [](const std::string& n) { return Invocation{"pacman", "-S", "--noconfirm", n}; },
    [](const std::string& n) { return Invocation{"pacman", "-R", "--noconfirm", n}; },
    {"pacman", "-Sy"},
    {{"pacman", R"~(case "$1 $2" in
  "-Qi "*) query "$2" ;;
  "-Sy ") fail refresh ;;
  "-S --noconfirm") install "$3" ;;
  "-R --noconfirm") remove "$3" ;;
  *) exit 2 ;;
esac)~"}},
};

void PrintTo(const Manager& manager, std::ostream* out) { *out << manager.label; }

void install_fakes(Sandbox& sandbox, const Manager& manager) {
  sandbox.add_fake("which", std::string("[ \"$1\" = ") + manager.program + " ]");
  for (const auto& [name, body] : manager.fakes) sandbox.add_fake(name, std::string(kScenario) + body);
}

void set_state(Sandbox& sandbox, const std::string& file, const std::string& content) {
  std::ofstream(sandbox.state_dir() / file) << content;
}

std::vector<std::string> describe(const std::vector<FieldChange>& changes) {
  std::vector<std::string> out;
  for (const auto& c : changes) {
    out.push_back(c.field + " " + std::to_string(static_cast<int>(c.action)) + " " + c.from.value_or("-") + " " +
                  c.to.value_or("-"));
  }
  return out;
}

ResolvedResource pkg(TomlTable props) {
  ResolvedResource r;
  r.resource_type = "pkg";
  r.name = "p";
  r.props = std::move(props);
  return r;
}

TomlValue list(std::vector<TomlValue> items) { return TomlValue{TomlArray(std::move(items))}; }

std::string resource(const std::string& name, const std::string& props) {
  return "[[resources]]\nresource_type = \"pkg\"\nname = \"" + name + "\"\nprops = " + props + "\n";
}

// Three resources: two that install (each refreshing the cache once) and
// one that removes. "curl" and "ftp" are installed at the start.
const std::string kBundle = "host = \"h\"\n" + resource("base", R"({ names = ["curl", "jq", "htop"] })") +
                            resource("editor", R"({ name = "vim" })") +
                            resource("legacy", R"({ names = ["telnet", "ftp"], state = "absent" })");

class PkgPerManager : public ::testing::TestWithParam<Manager> {
 protected:
  void SetUp() override {
    TOLN_REQUIRE_SANDBOX();
    install_fakes(sandbox, GetParam());
    set_state(sandbox, "pkg-curl", "install ok installed");
    set_state(sandbox, "pkg-ftp", "install ok installed");
  }
  std::vector<Invocation> queries_of_all() const {
    const Manager& m = GetParam();
    std::vector<Invocation> expected = m.detection;
    for (const char* name : {"curl", "jq", "htop", "vim", "telnet", "ftp"}) expected.push_back(m.query(name));
    return expected;
  }
  Sandbox sandbox;
};

const std::string kChangedReport =
    R"({"host":"h","resources":[)"
    R"({"type":"pkg","name":"base","status":"changed","diff":"+jq, +htop","changes":[)"
    R"({"field":"package","action":"create","to":"jq"},{"field":"package","action":"create","to":"htop"}]},)"
    R"({"type":"pkg","name":"editor","status":"changed","diff":"+vim","changes":[)"
    R"({"field":"package","action":"create","to":"vim"}]},)"
    R"({"type":"pkg","name":"legacy","status":"changed","diff":"-ftp","changes":[)"
    R"({"field":"package","action":"delete","from":"ftp"}]}],)"
    R"("summary":{"changed":3,"ok":0,"failed":0,"skipped":0}})"
    "\n";

TEST_P(PkgPerManager, FirstRunChangesThenSecondRunOnlyQueries) {
  const Manager& m = GetParam();
  const RunResult first = sandbox.run_agent({}, kBundle);
  EXPECT_EQ(first.out, kChangedReport);
  EXPECT_EQ(first.exit_status, 0) << first.err;
  std::vector<Invocation> expected = m.detection;
  for (const auto& step : std::vector<Invocation>{m.query("curl"), m.query("jq"), m.refresh, m.install("jq"),
                                                  m.query("htop"), m.install("htop"), m.query("vim"), m.refresh,
                                                  m.install("vim"), m.query("telnet"), m.query("ftp"), m.remove("ftp")}) {
    expected.push_back(step);
  }
  EXPECT_EQ(sandbox.invocations(), expected);

  sandbox.clear_invocations();
  const RunResult second = sandbox.run_agent({}, kBundle);
  EXPECT_EQ(second.out,
            R"({"host":"h","resources":[{"type":"pkg","name":"base","status":"ok"},)"
            R"({"type":"pkg","name":"editor","status":"ok"},{"type":"pkg","name":"legacy","status":"ok"}],)"
            R"("summary":{"changed":0,"ok":3,"failed":0,"skipped":0}})"
            "\n");
  EXPECT_EQ(second.exit_status, 1);
  EXPECT_EQ(sandbox.invocations(), queries_of_all());
}

TEST_P(PkgPerManager, DryRunOnlyQueries) {
  const RunResult run = sandbox.run_agent({"--dry-run"}, kBundle);
  EXPECT_EQ(run.out, kChangedReport);
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(sandbox.invocations(), queries_of_all());
}

TEST_P(PkgPerManager, FailedInstallStopsTheResourceButNotTheRun) {
  const Manager& m = GetParam();
  set_state(sandbox, "fail-install-jq", "E: Unable to locate package jq\n");
  const RunResult run = sandbox.run_agent({}, "host = \"h\"\n" + resource("base", R"({ names = ["htop", "jq", "tree"] })") +
                                                 resource("editor", R"({ name = "vim" })"));
  EXPECT_EQ(run.out,
            R"({"host":"h","resources":[)"
            R"({"type":"pkg","name":"base","status":"failed","error":"resource error: failed to install jq: E: Unable to locate package jq\n"},)"
            R"({"type":"pkg","name":"editor","status":"changed","diff":"+vim","changes":[{"field":"package","action":"create","to":"vim"}]}],)"
            R"("summary":{"changed":1,"ok":0,"failed":1,"skipped":0}})"
            "\n");
  EXPECT_EQ(run.exit_status, 2);
  std::vector<Invocation> expected = m.detection;
  for (const auto& step : std::vector<Invocation>{m.query("htop"), m.refresh, m.install("htop"), m.query("jq"),
                                                  m.install("jq"), m.query("vim"), m.refresh, m.install("vim")}) {
    expected.push_back(step);
  }
  EXPECT_EQ(sandbox.invocations(), expected);
  EXPECT_TRUE(std::filesystem::exists(sandbox.state_dir() / "pkg-htop")) << "installed before the failure";
}

TEST_P(PkgPerManager, FailedRefreshOrRemovalEndsTheResource) {
  const Manager& m = GetParam();
  set_state(sandbox, "fail-refresh", "network unreachable\n");
  set_state(sandbox, "fail-remove-ftp", "ftp is essential");
  const RunResult run = sandbox.run_agent(
      {}, "host = \"h\"\n" + resource("base", R"({ names = ["jq", "htop"] })") +
              resource("legacy", R"({ names = ["ftp", "curl"], state = "absent" })"));
  EXPECT_EQ(run.out,
            R"({"host":"h","resources":[)"
            R"({"type":"pkg","name":"base","status":"failed","error":"resource error: failed to update package cache: network unreachable\n"},)"
            R"({"type":"pkg","name":"legacy","status":"failed","error":"resource error: failed to remove ftp: ftp is essential"}],)"
            R"("summary":{"changed":0,"ok":0,"failed":2,"skipped":0}})"
            "\n");
  std::vector<Invocation> expected = m.detection;
  for (const auto& step : std::vector<Invocation>{m.query("jq"), m.refresh, m.query("ftp"), m.remove("ftp")}) {
    expected.push_back(step);
  }
  EXPECT_EQ(sandbox.invocations(), expected);
}

INSTANTIATE_TEST_SUITE_P(Managers, PkgPerManager, ::testing::Values(kApt, kDnf, kPacman),
                         [](const auto& info) { return std::string(info.param.label); });

class Pkg : public ::testing::Test {
 protected:
  void SetUp() override {
    TOLN_REQUIRE_SANDBOX();
    install_fakes(sandbox, kApt);
  }
  Sandbox sandbox;
};

TEST_F(Pkg, NoManagerFailsEveryResourceAndIsProbedOnce) {
  sandbox.add_fake("which", "exit 1");
  const RunResult run = sandbox.run_agent(
      {}, "host = \"h\"\n" + resource("a", R"({ name = "curl" })") + resource("b", R"({ state = "present" })"));
  EXPECT_EQ(run.out,
            R"({"host":"h","resources":[)"
            R"({"type":"pkg","name":"a","status":"failed","error":"resource error: no supported package manager found"},)"
            R"({"type":"pkg","name":"b","status":"failed","error":"resource error: no supported package manager found"}],)"
            R"("summary":{"changed":0,"ok":0,"failed":2,"skipped":0}})"
            "\n");
  EXPECT_EQ(sandbox.invocations(),
            (std::vector<Invocation>{{"which", "apt-get"}, {"which", "dnf"}, {"which", "pacman"}}));
}

TEST_F(Pkg, NamesThatWouldBeOptionsAreRefusedBeforeAnythingRuns) {
  const RunResult run = sandbox.run_agent(
      {}, "host = \"h\"\n" + resource("a", R"({ names = ["jq", "--allow-unauthenticated"] })") +
              resource("b", R"({ name = "-oDebug::NoLocking=1", state = "absent" })"));
  EXPECT_EQ(run.out,
            R"({"host":"h","resources":[)"
            R"({"type":"pkg","name":"a","status":"failed","error":"resource error: invalid package name: --allow-unauthenticated"},)"
            R"({"type":"pkg","name":"b","status":"failed","error":"resource error: invalid package name: -oDebug::NoLocking=1"}],)"
            R"("summary":{"changed":0,"ok":0,"failed":2,"skipped":0}})"
            "\n");
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{{"which", "apt-get"}}));
}

TEST_F(Pkg, DpkgStatusLines) {
  // The query succeeds for each of these; only the Status line decides.
  const struct {
    const char* status;
    bool installed;
  } cases[] = {
      {"install ok installed", true},
      {"hold ok installed", true},
      {"deinstall ok config-files", false},
      {"install ok half-configured", false},
      {"install ok not-installed", false},
  };
  for (const auto& c : cases) {
    set_state(sandbox, std::string("pkg-") + (c.installed ? "in-" : "out-") + c.status, c.status);
  }
  sandbox.run_in_process([&] {
    for (const auto& c : cases) {
      const std::string name = std::string(c.installed ? "in-" : "out-") + c.status;
      auto present = apply_pkg(pkg({{"name", text(name)}}), true);
      ASSERT_TRUE(present) << error_of(present);
      EXPECT_EQ(present->status, c.installed ? ResourceStatus::Ok : ResourceStatus::Changed) << c.status;
      auto absent = apply_pkg(pkg({{"name", text(name)}, {"state", text("absent")}}), true);
      ASSERT_TRUE(absent) << error_of(absent);
      EXPECT_EQ(absent->status, c.installed ? ResourceStatus::Changed : ResourceStatus::Ok) << c.status;
    }
  });
}

TEST_F(Pkg, AHeldPackageIsLeftAlone) {
  set_state(sandbox, "pkg-linux-image", "hold ok installed");
  const RunResult run = sandbox.run_agent({}, "host = \"h\"\n" + resource("kernel", R"({ name = "linux-image" })"));
  EXPECT_EQ(run.exit_status, 1) << run.out << run.err;
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{{"which", "apt-get"}, {"dpkg", "-s", "linux-image"}}));
}

TEST_F(Pkg, PackageLists) {
  set_state(sandbox, "pkg-curl", "install ok installed");
  sandbox.run_in_process([this] {
    auto empty = apply_pkg(pkg({{"names", list({})}, {"name", text("curl")}}), false);
    ASSERT_TRUE(empty) << error_of(empty);
    EXPECT_EQ(empty->status, ResourceStatus::Ok);
    EXPECT_TRUE(empty->changes.empty());

    auto mixed = apply_pkg(pkg({{"names", list({text("jq"), TomlValue{std::int64_t{2}}, text("tree")})}}), true);
    ASSERT_TRUE(mixed) << error_of(mixed);
    EXPECT_EQ(mixed->diff, "+jq, +tree");
    EXPECT_EQ(describe(mixed->changes),
              (std::vector<std::string>{"package 0 - jq", "package 0 - tree"}));

    auto string_names = apply_pkg(pkg({{"names", text("jq")}, {"name", text("curl")}, {"state", text("absent")}}), true);
    ASSERT_TRUE(string_names) << error_of(string_names);
    EXPECT_EQ(string_names->diff, "-curl");
    EXPECT_EQ(describe(string_names->changes), (std::vector<std::string>{"package 2 curl -"}));

    EXPECT_EQ(error_of(apply_pkg(pkg({{"names", text("jq")}}), false)),
              "resource error: pkg resource requires 'name' or 'names'");
    EXPECT_EQ(error_of(apply_pkg(pkg({{"name", TomlValue{true}}}), false)),
              "resource error: pkg resource requires 'name' or 'names'");

    auto misspelt = apply_pkg(pkg({{"names", list({text("jq"), text("curl")})}, {"state", text("installed")}}), false);
    ASSERT_TRUE(misspelt) << error_of(misspelt);
    EXPECT_EQ(misspelt->status, ResourceStatus::Ok);

    EXPECT_EQ(sandbox.invocations(),
              (std::vector<Invocation>{{"which", "apt-get"},
                                       {"dpkg", "-s", "jq"},
                                       {"dpkg", "-s", "tree"},
                                       {"dpkg", "-s", "curl"},
                                       {"dpkg", "-s", "jq"},
                                       {"dpkg", "-s", "curl"}}));
  });
}

TEST_F(Pkg, QueryThatCannotStartEndsTheResource) {
  sandbox.run_in_process([this] {
    auto result = apply_pkg(pkg({{"names", list({text("jq"), text(std::string("a\0b", 3)), text("tree")})}}), false);
    EXPECT_EQ(error_of(result), "resource error: failed to run dpkg: nul byte found in provided data");
    EXPECT_EQ(sandbox.invocations(),
              (std::vector<Invocation>{{"which", "apt-get"},
                                       {"dpkg", "-s", "jq"},
                                       {"apt-get", "update", "-qq"},
                                       {"apt-get", "install", "-y", "jq"}}));
  });
}

TEST(DpkgStatus, LastWordOfTheStatusLineDecides) {
  const struct {
    const char* output;
    bool installed;
  } cases[] = {
      {"Package: jq\nStatus: install ok installed\n", true},
      {"Package: jq\r\n  Status: hold ok installed  \r\nVersion: 1\n", true},
      {"Status: deinstall ok config-files\n", false},
      {"Status: install ok half-configured\n", false},
      {"Status: install ok not-installed\n", false},
      {"Package: jq\nVersion: installed\n", false},
      {"Status:\n", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(dpkg_status_says_installed(c.output), c.installed) << c.output;

  EXPECT_FALSE(query_reports_installed(PackageManager::Apt, {256, "Status: install ok installed\n", ""}));
  EXPECT_TRUE(query_reports_installed(PackageManager::Dnf, {0, "", ""}));
  EXPECT_FALSE(query_reports_installed(PackageManager::Pacman, {9, "", ""}));
}

}  // namespace
}  // namespace toln
