// Provider scripts: the JSON values in process, the rest through the real
// agent with real sh and python3 scripts in the sandbox. After every run the
// sandbox's TMPDIR must be empty again.
#include "resources/provider.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <limits>

#include "host/process.hpp"
#include "resources/agent_report.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using testing::AgentReport;
using testing::read_file;
using testing::Sandbox;
using testing::run_bundle;
using testing::toml_string;
using Json = nlohmann::json;

TEST(TomlToJson, EveryKind) {
  const double inf = std::numeric_limits<double>::infinity();
  const auto dt = [](std::optional<TomlDate> date, std::optional<TomlTime> time, std::optional<std::int16_t> offset) {
    return TomlValue{TomlDateTime{date, time, offset}};
  };
  const struct {
    TomlValue value;
    std::string json;
  } cases[] = {
      {{std::string("q\"b\\\n\x01\xC3\xA9")}, R"("q\"b\\\n\u0001é")"},
      {{std::int64_t{-42}}, "-42"},
      {{std::numeric_limits<std::int64_t>::max()}, "9223372036854775807"},
      {{1.5}, "1.5"},
      {{3.0}, "3.0"},
      {{std::numeric_limits<double>::quiet_NaN()}, "null"},
      {{inf}, "null"},
      {{-inf}, "null"},
      {{false}, "false"},
      {dt(TomlDate{1979, 5, 27}, TomlTime{7, 32, 0, 999000000}, 0), R"("1979-05-27T07:32:00.999Z")"},
      {dt(TomlDate{1979, 5, 27}, TomlTime{0, 32, 0, 0}, -420), R"("1979-05-27T00:32:00-07:00")"},
      {dt(TomlDate{1979, 5, 27}, TomlTime{7, 32, 0, 0}, std::nullopt), R"("1979-05-27T07:32:00")"},
      {dt(TomlDate{1979, 5, 27}, std::nullopt, std::nullopt), R"("1979-05-27")"},
      {dt(std::nullopt, TomlTime{7, 32, 0, 500000000}, std::nullopt), R"("07:32:00.5")"},
      {{TomlArray{}}, "[]"},
      {{TomlArray{{std::int64_t{1}}, {std::string("x")}, {TomlArray{{2.5}}}}}, R"([1,"x",[2.5]])"},
      {{TomlTable{}}, "{}"},
      {{TomlTable{{"z", {std::int64_t{1}}}, {"a", {TomlTable{{"c", {true}}, {"b", {std::string()}}}}}}},
       R"({"a":{"b":"","c":true},"z":1})"},
  };
  for (const auto& c : cases) EXPECT_EQ(toml_to_json(c.value).dump(), c.json);
}

TEST(DefaultDiff, NamesWhatWouldHappen) {
  EXPECT_EQ(default_diff(true), "would change");
  EXPECT_EQ(default_diff(false), "changed");
}

bool found_in_child_path(const std::string& program) {
  std::string_view dirs = child_search_path;
  while (!dirs.empty()) {
    const std::size_t colon = dirs.find(':');
    if (std::filesystem::exists(std::filesystem::path(dirs.substr(0, colon)) / program)) return true;
    dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
  }
  return false;
}

class Providers : public ::testing::Test {
 protected:
  void SetUp() override {
    TOLN_REQUIRE_SANDBOX();
    if (!found_in_child_path("python3")) GTEST_SKIP() << "python3 is not in the agent's child search path";
  }

  AgentReport run(const std::string& bundle, bool dry_run, const testing::Environment& env = {}) {
    AgentReport report = run_bundle(sandbox, "host = \"h\"\n" + bundle, dry_run, env);
    EXPECT_EQ(report.left_in_tmp, std::vector<std::string>{}) << "provider scripts must be removed";
    return report;
  }

  Sandbox sandbox;
};

// The script answers with the request it was sent as its output.
constexpr std::string_view kEchoProvider = R"~(
[provider_defs.echo]
interpreter = ["python3"]
source = '''
import json, sys
sys.stdout.write(json.dumps({"status": "ok", "output": sys.stdin.read()}))
'''
[provider_defs.echo.params]
given = { default = "not used" }
dflt = { default = "from default" }
dflt_tbl = { default = { y = 1, x = 2 } }
none = { required = true }
)~";

TEST_F(Providers, RequestCarriesEveryPropertyAndDefault) {
  const std::string bundle = R"~([[resources]]
resource_type = "echo"
name = "all \"kinds\""
[resources.props]
s = "q\"b\\n\n\t\u0001é"
i = -42
big = 9223372036854775807
f = 1.5
whole = 3.0
nan = nan
inf = inf
ninf = -inf
yes = true
odt = 1979-05-27T07:32:00.999Z
odt2 = 1979-05-27T00:32:00-07:00
ldt = 1979-05-27T07:32:00
ld = 1979-05-27
lt = 07:32:00.5
arr = [1, "x", [2.5], { b = 1 }]
empty_arr = []
tbl = { z = 1, a = { c = true, b = "" } }
empty_tbl = {}
given = "prop"
undeclared = "u"
)~" + std::string(kEchoProvider);
  const auto request = [](std::string_view action) {
    return R"~({"action":")~" + std::string(action) +
           R"~(","name":"all \"kinds\"","params":{"arr":[1,"x",[2.5],{"b":1}],"big":9223372036854775807,)~"
           R"~("dflt":"from default","dflt_tbl":{"x":2,"y":1},"empty_arr":[],"empty_tbl":{},"f":1.5,"given":"prop",)~"
           R"~("i":-42,"inf":null,"ld":"1979-05-27","ldt":"1979-05-27T07:32:00","lt":"07:32:00.5","nan":null,)~"
           R"~("ninf":null,"odt":"1979-05-27T07:32:00.999Z","odt2":"1979-05-27T00:32:00-07:00",)~"
           R"~("s":"q\"b\\n\n\t\u0001é","tbl":{"a":{"b":"","c":true},"z":1},"undeclared":"u","whole":3.0,)~"
           R"~("yes":true},"protocol_version":1,"type":"echo"})~";
  };
  EXPECT_EQ(run(bundle, true).entry("all \"kinds\"")["output"], request("plan"));
  EXPECT_EQ(run(bundle, false).entry("all \"kinds\"")["output"], request("apply"));
}

// The script prints the reply it is given, the error text on standard error,
// and ends with the exit code or a SIGKILL it is given.
constexpr std::string_view kReplayProvider = R"~(
[provider_defs.replay]
interpreter = ["python3"]
source = '''
import json, os, sys
p = json.load(sys.stdin)["params"]
sys.stderr.write(p.get("err", ""))
sys.stdout.write(p.get("reply", ""))
sys.stdout.flush()
sys.stdout.buffer.write(bytes.fromhex(p.get("raw", "")))
sys.stdout.flush()
sys.stderr.flush()
if p.get("kill"):
    os.kill(os.getpid(), 9)
sys.exit(p.get("exit", 0))
'''
)~";

struct ReplayCase {
  std::string name;
  std::string props;  // TOML inline table entries
  Json dry_run;       // the report entry without type and name
  Json real_run;
};

Json failed(const std::string& error) { return {{"status", "failed"}, {"error", error}}; }
Json invalid(const std::string& fault) { return failed("replay provider returned invalid JSON response: " + fault); }

TEST_F(Providers, ResponsesAndExitStatusesMapToResults) {
  const auto reply = [](const std::string& text) { return "reply = " + toml_string(text); };
  const Json ok = {{"status", "ok"}};
  const std::vector<ReplayCase> cases = {
      {"ok-with-output", reply(R"({"status":"ok","diff":"dropped","output":"out","error":"dropped"})"),
       {{"status", "ok"}, {"output", "out"}}, {{"status", "ok"}, {"output", "out"}}},
      {"changed-default", reply(R"({"status":"changed"})"), {{"status", "changed"}, {"diff", "would change"}},
       {{"status", "changed"}, {"diff", "changed"}}},
      {"changed-null-diff", reply(R"({"status":"changed","diff":null,"output":null})"),
       {{"status", "changed"}, {"diff", "would change"}}, {{"status", "changed"}, {"diff", "changed"}}},
      {"changed-extra-key", reply(R"({"status":"changed","diff":"x","extra":5,"output":"o"})"),
       {{"status", "changed"}, {"diff", "x"}, {"output", "o"}}, {{"status", "changed"}, {"diff", "x"}, {"output", "o"}}},
      {"failed-default", reply(R"({"status":"failed","output":"dropped"})"), failed("replay provider reported failure"),
       failed("replay provider reported failure")},
      {"failed-error", reply(R"({"status":"failed","error":"bad thing","diff":"x"})"), failed("bad thing"),
       failed("bad thing")},
      {"capital-ok", reply(R"({"status":"Ok"})"), failed("replay provider returned invalid status 'Ok'"),
       failed("replay provider returned invalid status 'Ok'")},
      {"newline-after", reply("\n {\"status\":\"ok\"}\n"), ok, ok},
      {"noise-on-stderr", reply(R"({"status":"ok"})") + ", err = \"noise\"", ok, ok},
      {"lossy-output", reply(R"({"status":"ok","output":")") + ", raw = \"ff22 7d\"",
       {{"status", "ok"}, {"output", "\xEF\xBF\xBD"}}, {{"status", "ok"}, {"output", "\xEF\xBF\xBD"}}},
      {"two-objects", reply("{\"status\":\"ok\"}\n{\"status\":\"ok\"}"), invalid("trailing characters at line 2 column 1"),
       invalid("trailing characters at line 2 column 1")},
      {"nothing", "", invalid("EOF while parsing a value at line 1 column 0"),
       invalid("EOF while parsing a value at line 1 column 0")},
      {"blank", reply(" \n\t"), invalid("EOF while parsing a value at line 1 column 0"),
       invalid("EOF while parsing a value at line 1 column 0")},
      {"garbage", reply("not json"),
       invalid("syntax error while parsing value - invalid literal; last read: 'no' at line 1 column 2"),
       invalid("syntax error while parsing value - invalid literal; last read: 'no' at line 1 column 2")},
      {"missing-status", reply(R"({"diff":"x"})"), invalid("missing field `status` at line 1 column 12"),
       invalid("missing field `status` at line 1 column 12")},
      {"duplicate", reply(R"({"status":"ok","status":"ok"})"), invalid("duplicate field `status` at line 1 column 23"),
       invalid("duplicate field `status` at line 1 column 23")},
      {"wrong-kind", reply(R"({"status":true})"),
       invalid("invalid type: boolean `true`, expected a string at line 1 column 14"),
       invalid("invalid type: boolean `true`, expected a string at line 1 column 14")},
      {"not-an-object", reply(R"(["ok"])"),
       invalid("invalid type: sequence, expected struct ProviderResponse at line 1 column 1"),
       invalid("invalid type: sequence, expected struct ProviderResponse at line 1 column 1")},
      {"exit-2", reply(R"({"status":"ok"})") + ", err = \"oops\\n\", exit = 2", failed("replay provider exited 2: oops\n"),
       failed("replay provider exited 2: oops\n")},
      {"killed", reply(R"({"status":"ok"})") + ", err = \"dying\\n\", kill = true",
       failed("replay provider exited signal: dying\n"), failed("replay provider exited signal: dying\n")},
      {"long-stderr", "err = \"" + std::string(3000, 'e') + "\", exit = 1",
       failed("replay provider exited 1: " + std::string(2000, 'e') + "...(truncated)"),
       failed("replay provider exited 1: " + std::string(2000, 'e') + "...(truncated)")},
  };
  std::string bundle;
  for (const auto& c : cases) {
    bundle += "[[resources]]\nresource_type = \"replay\"\nname = \"" + c.name + "\"\nprops = { " + c.props + " }\n";
  }
  bundle += kReplayProvider;
  for (const bool dry_run : {true, false}) {
    const AgentReport report = run(bundle, dry_run);
    for (const auto& c : cases) {
      Json expected = {{"type", "replay"}, {"name", c.name}};
      expected.update(dry_run ? c.dry_run : c.real_run);
      EXPECT_EQ(report.entry(c.name), expected) << c.name << (dry_run ? " (dry run)" : "");
    }
  }
}

TEST_F(Providers, ScriptFileIsPrivateHoldsTheSourceAndFollowsTheInterpreterArguments) {
  const std::string inspect_source =
      "import json, os, sys\n"
      "st = os.stat(sys.argv[0])\n"
      "sys.stdout.write(json.dumps({'status': 'ok', 'output': oct(st.st_mode & 0o7777) + '|' + open(sys.argv[0]).read()}))";
  const std::string bundle = R"~([[resources]]
resource_type = "args"
name = "a"
props = {}
[[resources]]
resource_type = "args"
name = "b"
props = {}
[[resources]]
resource_type = "inspect"
name = "c"
props = {}
[provider_defs.args]
interpreter = ["sh", "-c", 'printf "{\"status\":\"ok\",\"output\":\"%s|%s\"}" "$0" "$1"', "zero"]
source = "unused"
[provider_defs.inspect]
interpreter = ["python3"]
source = )~" + toml_string(inspect_source) + "\n";
  const AgentReport report = run(bundle, false);
  // "zero|{TMPDIR}/toln-provider-XXXXXX/toln-provider-{pid}-{n}": the
  // interpreter's arguments, then the path, in a directory of its own.
  const auto pid_of = [tmp = sandbox.tmp_dir()](const std::string& output, std::string_view suffix) -> std::string {
    if (!output.starts_with("zero|")) return "";
    const fs::path script = output.substr(5);
    const std::string dir = script.parent_path().filename().string();
    if (script.parent_path().parent_path() != tmp || dir.size() != 20 || !dir.starts_with("toln-provider-")) return "";
    const std::string name = script.filename().string();
    if (!name.starts_with("toln-provider-") || !name.ends_with(suffix)) return "";
    const std::string pid = name.substr(14, name.size() - 14 - suffix.size());
    return !pid.empty() && pid.find_first_not_of("0123456789") == std::string::npos ? pid : "";
  };
  const std::string a = report.entry("a").value("output", "");
  const std::string b = report.entry("b").value("output", "");
  EXPECT_NE(pid_of(a, "-0"), "") << a;
  EXPECT_EQ(pid_of(b, "-1"), pid_of(a, "-0")) << b << ": both named after the agent's pid, counted on";
  EXPECT_NE(fs::path(a).parent_path(), fs::path(b).parent_path()) << "each script has a directory of its own";
  EXPECT_EQ(report.entry("c")["output"], "0o600|" + inspect_source);
}

// What a provider does must not hang the agent or flood the report; each
// fault stays with its own resource.
TEST_F(Providers, MisbehavingProvidersFailTheirResourceOnly) {
  const std::string big(1 << 20, 'b');
  const std::string bundle = R"~([[resources]]
resource_type = "deaf"
name = "never-reads-a-large-request"
props = { big = ")~" + big + R"~(" }
[[resources]]
resource_type = "flood-stdout"
name = "prints-100-MiB"
props = {}
[[resources]]
resource_type = "flood-stderr"
name = "complains-100-MiB"
props = {}
[[resources]]
resource_type = "silent"
name = "prints-nothing"
props = {}
[[resources]]
resource_type = "nonzero"
name = "exits-non-zero"
props = {}
[[resources]]
resource_type = "missing"
name = "interpreter-missing"
props = {}
[[resources]]
resource_type = "none"
name = "interpreter-empty"
props = {}
[[resources]]
resource_type = "nul"
name = "nul-in-a-parameter"
props = { v = "a\u0000b" }
[provider_defs.deaf]
interpreter = ["sh"]
source = '''printf '{"status":"ok"}' '''
[provider_defs.flood-stdout]
interpreter = ["sh"]
source = '''head -c 104857600 /dev/zero | tr '\0' x'''
[provider_defs.flood-stderr]
interpreter = ["sh"]
source = '''head -c 104857600 /dev/zero | tr '\0' e >&2; exit 1'''
[provider_defs.silent]
interpreter = ["sh"]
source = ""
[provider_defs.nonzero]
interpreter = ["sh"]
source = '''echo '{"status":"ok"}'; echo failing >&2; exit 4'''
[provider_defs.missing]
interpreter = ["no-such-interpreter", "-x"]
source = "print(1)"
[provider_defs.none]
interpreter = []
source = "print(1)"
[provider_defs.nul]
interpreter = ["python3"]
source = '''
import json, sys
v = json.load(sys.stdin)["params"]["v"]
sys.stdout.write(json.dumps({"status": "ok", "output": str(v == "a\0b")}))
'''
)~";
  const AgentReport report = run(bundle, false);
  EXPECT_EQ(report.entry("never-reads-a-large-request")["status"], "ok");
  EXPECT_EQ(report.entry("prints-100-MiB")["error"],
            "flood-stdout provider response too large: exceeds 67108864 bytes");
  EXPECT_EQ(report.entry("complains-100-MiB")["error"],
            "flood-stderr provider exited 1: " + std::string(2000, 'e') + "...(truncated)");
  EXPECT_EQ(report.entry("prints-nothing")["error"],
            "silent provider returned invalid JSON response: EOF while parsing a value at line 1 column 0");
  EXPECT_EQ(report.entry("exits-non-zero")["error"], "nonzero provider exited 4: failing\n");
  EXPECT_EQ(report.entry("interpreter-missing")["error"],
            "resource error: failed to spawn no-such-interpreter: No such file or directory (os error 2)");
  EXPECT_EQ(report.entry("interpreter-empty")["error"], "resource error: none provider: interpreter is empty");
  EXPECT_EQ(report.entry("nul-in-a-parameter")["output"], "True") << "JSON carries a NUL byte escaped";
  EXPECT_EQ(report.run.exit_status, 2);
  EXPECT_LT(report.run.out.size(), 10000u);
}

TEST_F(Providers, ProviderWinsOverAShellDefinedTypeButNotOverABuiltIn) {
  const std::string bundle = R"~([[resources]]
resource_type = "both"
name = "x"
props = {}
[[resources]]
resource_type = "cmd"
name = "builtin"
props = { command = "true", unless = "false" }
[provider_defs.both]
interpreter = ["sh"]
source = '''printf '{"status":"changed","diff":"from the provider"}' '''
[provider_defs.cmd]
interpreter = ["sh"]
source = '''printf '{"status":"failed"}' '''
[resource_defs.both]
check = "touch shell-checked; exit 1"
apply = "true"
[resource_defs.cmd]
check = "touch shell-checked; exit 1"
apply = "true"
)~";
  const AgentReport report = run(bundle, false);
  EXPECT_EQ(report.entry("x"),
            Json({{"type", "both"}, {"name", "x"}, {"status", "changed"}, {"diff", "from the provider"}}));
  EXPECT_EQ(report.entry("builtin"), Json({{"type", "cmd"}, {"name", "builtin"}, {"status", "changed"}}));
  EXPECT_FALSE(std::filesystem::exists(sandbox.scratch_dir() / "shell-checked"));
}

// Another user takes every name the script could have had in the shared
// temporary directory, one of them a link to a file of theirs. The script
// still runs, from a private directory of its own, and what they planted is
// left as it was.
TEST_F(Providers, PlantedScriptNamesNeitherBlockNorReachTheScript) {
  // The sandbox's TMPDIR made like /tmp: anyone may reach it and add names.
  fs::permissions(sandbox.root(), fs::perms::others_exec, fs::perm_options::add);
  fs::permissions(sandbox.tmp_dir(), fs::perms::all | fs::perms::sticky_bit);
  const std::string inspect_source =
      "import json, os, sys\n"
      "mode = lambda p: oct(os.stat(p).st_mode & 0o7777)\n"
      "path = sys.argv[0]\n"
      "sys.stdout.write(json.dumps({'status': 'ok', 'output': path + '|' + mode(os.path.dirname(path)) + '|' + "
      "mode(path)}))";
  const std::string bundle = "host = \"h\"\n[[resources]]\nresource_type = \"inspect\"\nname = \"x\"\nprops = {}\n"
                             "[provider_defs.inspect]\ninterpreter = [\"python3\"]\nsource = " +
                             toml_string(inspect_source) + "\n";
  // The agent keeps the shell's pid (exec), which names the planted files.
  const testing::RunResult run = sandbox.run_in_namespace(
      R"(setpriv --reuid=65534 --regid=65534 --clear-groups sh -c '
  echo theirs > "$TMPDIR/victim"
  ln -s "$TMPDIR/victim" "$TMPDIR/toln-provider-$1-0"
  n=1; while [ $n -lt 64 ]; do echo planted > "$TMPDIR/toln-provider-$1-$n"; n=$((n + 1)); done' sh $$ &&
exec )" TOLN_AGENT_PATH,
      bundle);
  ASSERT_EQ(run.exit_status, 1) << run.out << run.err;  // ok: nothing changed

  std::vector<std::string> planted;
  std::string pid;
  for (const auto& item : fs::directory_iterator(sandbox.tmp_dir())) {
    const std::string name = item.path().filename().string();
    planted.push_back(name);
    struct stat st {};
    ASSERT_EQ(::lstat(item.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u) << name << ": only what nobody planted is left";
    if (name.ends_with("-0")) {
      pid = name.substr(std::string_view("toln-provider-").size(), name.size() - 16);
      EXPECT_TRUE(S_ISLNK(st.st_mode));
      EXPECT_EQ(fs::read_symlink(item.path()), sandbox.tmp_dir() / "victim");
    } else if (name != "victim") {
      EXPECT_EQ(read_file(item.path()), "planted\n") << name;
    }
  }
  EXPECT_EQ(planted.size(), 65u);
  EXPECT_EQ(read_file(sandbox.tmp_dir() / "victim"), "theirs\n");

  const auto report = nlohmann::json::parse(run.out, nullptr, false);
  ASSERT_FALSE(report.is_discarded()) << run.out;
  const std::string output = report["resources"][0].value("output", "");
  const std::string script = output.substr(0, output.find('|'));
  const fs::path dir = fs::path(script).parent_path();
  EXPECT_EQ(fs::path(script).filename(), "toln-provider-" + pid + "-0") << output;
  EXPECT_EQ(dir.parent_path(), sandbox.tmp_dir()) << output;
  EXPECT_TRUE(dir.filename().string().starts_with("toln-provider-")) << output;
  EXPECT_EQ(output.substr(script.size()), "|0o700|0o600") << output;
  EXPECT_FALSE(fs::exists(dir)) << "the private directory is removed after the run";
}

TEST_F(Providers, UnusableTemporaryDirectoryFailsTheResource) {
  const std::string bundle = R"~([[resources]]
resource_type = "p"
name = "x"
props = {}
[[resources]]
resource_type = "cmd"
name = "after-it"
props = { command = "true", unless = "false" }
[provider_defs.p]
interpreter = ["sh"]
source = "exit 0"
)~";
  const AgentReport report = run(bundle, false, {{"TMPDIR", (sandbox.tmp_dir() / "missing").string()}});
  EXPECT_EQ(report.entry("x")["error"],
            "resource error: failed to create provider script: No such file or directory (os error 2)");
  EXPECT_EQ(report.entry("after-it")["status"], "changed");
}

// A TMPDIR that a user can write (a user's own, handed down in the agent's
// environment): the name of the agent's private directory needs only write
// access to TMPDIR, so the user can move it aside and put one of their own,
// holding their own script, in its place before the interpreter opens the
// script by path. The interpreter here makes that move as the user, at that
// very step, then runs what it finds.
TEST(ProviderTemporaryRoot, OneAnotherUserCanRenameInIsRefused) {
  TOLN_REQUIRE_SANDBOX();
  Sandbox sandbox;
  const fs::path tmp = sandbox.tmp_dir();
  ASSERT_EQ(::chmod(sandbox.root().c_str(), 0711), 0);  // the user must reach it
  ASSERT_EQ(::chown(tmp.c_str(), 65534, 65534), 0);
  const std::string swap =
      "setpriv --reuid=65534 --regid=65534 --clear-groups sh -c "
      "'mv \"${1%/*}\" \"${1%/*}.aside\" && mkdir \"${1%/*}\" && echo \"id -u > /etc/toln-pwned\" > \"$1\"' sh \"$1\"; "
      "exec sh \"$1\"";
  const std::string bundle = R"~(host = "h"
[[resources]]
resource_type = "swapped"
name = "x"
props = {}
[provider_defs.swapped]
interpreter = ["sh", "-c", )~" + toml_string(swap) + R"~(, "sh"]
source = "echo agent's own script"
)~";
  const AgentReport report = run_bundle(sandbox, bundle, false);
  EXPECT_EQ(sandbox.read_upper("/etc/toln-pwned"), std::nullopt) << "the user's script ran as root";
  EXPECT_EQ(report.entry("x")["error"], "resource error: refusing to make private directories in " + tmp.string() +
                                            ": " + tmp.string() + " belongs to uid 65534");
  EXPECT_EQ(report.left_in_tmp, std::vector<std::string>{});
}

}  // namespace
}  // namespace toln
