// file, directory, download and cron end to end: the real binary in the
// sandbox, with files under the scratch directory, cron files in the
// overlaid /etc and downloads from a local server.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "harness/http_server.hpp"
#include "harness/sandbox.hpp"
#include "host/file_modes.hpp"
#include "host/sha256.hpp"
#include "support/git_repository.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using namespace toln::testing;

// Replaces every "{S}" by the scratch directory and "{U}" by the server.
std::string fill(std::string text, const std::string& scratch, const std::string& server) {
  for (const auto& [mark, value] : {std::pair{std::string("{S}"), scratch}, std::pair{std::string("{U}"), server}}) {
    for (std::size_t at = 0; (at = text.find(mark, at)) != std::string::npos; at += value.size()) {
      text.replace(at, mark.size(), value);
    }
  }
  return text;
}

std::string sha256_hex(std::string_view data) { return content_digest(data).substr(7); }

const std::string kConfig = "listen = 8080\n";
const std::string kTool = "#!/bin/sh\necho tool\n";
const std::string kCron =
    "# Managed by toln \u2014 do not edit manually\nMAILTO=ops@example.com\nTZ=UTC\n\n30 2 * * *  root  {S}/app/bin/tool\n";

class FileResourcesEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    TOLN_REQUIRE_SANDBOX();
    sandbox.add_fake("restorecon", "exit 0");
    fs::create_directories(served());
    write_file(served() / "tool", kTool);
    server = std::make_unique<HttpServer>(served());
    // /etc/cron.d as a host without cron lacks it.
    sandbox.write_upper("/etc/cron.d/.placeholder", "");
  }
  fs::path served() const { return sandbox.scratch_dir() / "served"; }
  std::string fill(const std::string& text) const {
    return toln::fill(text, sandbox.scratch_dir().string(), server->url(""));
  }
  std::string bundle() const {
    return fill(R"(host = "h"
[[resources]]
resource_type = "directory"
name = "app"
props = { path = "{S}/app", mode = "0750" }

[[resources]]
resource_type = "file"
name = "config"
after = ["directory.app"]
props = { path = "{S}/app/config.toml", content = "listen = 8080\n", mode = "0640" }

[[resources]]
resource_type = "download"
name = "tool"
after = ["directory.app"]
props = { url = "{U}tool", dest = "{S}/app/bin/tool", checksum = ")" + sha256_hex(kTool) + R"(", mode = "0755" }

[[resources]]
resource_type = "cron"
name = "toln-e2e-backup"
after = ["download.tool"]
props = { user = "root", schedule = "30 2 * * *", command = "{S}/app/bin/tool", mailto = "ops@example.com", env = { TZ = "UTC" } }
)");
  }
  Sandbox sandbox;
  std::unique_ptr<HttpServer> server;
};

std::string json_text(std::string text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\\n") : std::string(1, c);
  return out;
}

TEST_F(FileResourcesEndToEnd, FirstRunSecondRunAndDryRun) {
  const RunResult dry = sandbox.run_agent({"--dry-run"}, bundle());
  EXPECT_EQ(dry.exit_status, 0) << dry.err;
  EXPECT_EQ(dry.out, fill(R"({"host":"h","resources":[)"
                          R"({"type":"directory","name":"app","status":"changed","diff":"create {S}/app","changes":[{"field":"directory","action":"create","to":"{S}/app"}]},)"
                          R"({"type":"download","name":"tool","status":"changed","diff":"would download {U}tool -> {S}/app/bin/tool"},)"
                          R"({"type":"file","name":"config","status":"changed","diff":"content","changes":[{"field":"content","action":"create","to":")" +
                          content_digest(kConfig) + R"("}]},)"
                          R"({"type":"cron","name":"toln-e2e-backup","status":"changed","diff":"would write /etc/cron.d/toln-e2e-backup","to":")" +
                          json_text(kCron) + R"("}],)"
                          R"("summary":{"changed":4,"ok":0,"failed":0,"skipped":0}})"
                          "\n"));
  EXPECT_FALSE(fs::exists(sandbox.scratch_dir() / "app"));
  EXPECT_FALSE(sandbox.read_upper("/etc/cron.d/toln-e2e-backup"));
  EXPECT_TRUE(server->requests().empty());

  const RunResult first = sandbox.run_agent({}, bundle());
  EXPECT_EQ(first.exit_status, 0) << first.err;
  EXPECT_EQ(first.out, fill(R"({"host":"h","resources":[)"
                            R"({"type":"directory","name":"app","status":"changed","diff":"create {S}/app, mode 0755 → 0750","changes":[{"field":"directory","action":"create","to":"{S}/app"},{"field":"mode","action":"update","from":"0755","to":"0750"}]},)"
                            R"({"type":"download","name":"tool","status":"changed","diff":"downloaded -> {S}/app/bin/tool"},)"
                            R"({"type":"file","name":"config","status":"changed","diff":"content","changes":[{"field":"content","action":"create","to":")" +
                            content_digest(kConfig) + R"("}]},)"
                            R"({"type":"cron","name":"toln-e2e-backup","status":"changed","diff":"wrote /etc/cron.d/toln-e2e-backup","to":")" +
                            json_text(kCron) + R"("}],)"
                            R"("summary":{"changed":4,"ok":0,"failed":0,"skipped":0}})"
                            "\n"));
  const fs::path app = sandbox.scratch_dir() / "app";
  EXPECT_EQ(mode_of(app), 0750u);
  EXPECT_EQ(read_file(app / "config.toml"), kConfig);
  EXPECT_EQ(mode_of(app / "config.toml"), 0640u);
  EXPECT_EQ(read_file(app / "bin/tool"), kTool);
  EXPECT_EQ(mode_of(app / "bin/tool"), 0755u);
  EXPECT_EQ(sandbox.read_upper("/etc/cron.d/toln-e2e-backup"), fill(kCron));
  EXPECT_EQ(mode_of(sandbox.upper_path("/etc/cron.d/toln-e2e-backup")), 0644u);

  const auto times = [&] {
    std::vector<std::pair<ino_t, std::int64_t>> stamps;
    for (const fs::path& path : {app / "config.toml", app / "bin/tool", sandbox.upper_path("/etc/cron.d/toln-e2e-backup")}) {
      const struct stat st = lstat_of(path);
      stamps.emplace_back(st.st_ino, st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec);
    }
    return stamps;
  };
  const auto after_first = times();
  sandbox.clear_invocations();
  const RunResult second = sandbox.run_agent({}, bundle());
  EXPECT_EQ(second.exit_status, 1) << second.err;
  EXPECT_EQ(second.out, R"({"host":"h","resources":[)"
                        R"({"type":"directory","name":"app","status":"ok"},)"
                        R"({"type":"download","name":"tool","status":"ok"},)"
                        R"({"type":"file","name":"config","status":"ok"},)"
                        R"({"type":"cron","name":"toln-e2e-backup","status":"ok"}],)"
                        R"("summary":{"changed":0,"ok":4,"failed":0,"skipped":0}})"
                        "\n");
  EXPECT_EQ(times(), after_first) << "nothing rewritten";
  EXPECT_TRUE(sandbox.invocations().empty()) << "no write, so no restorecon";
  EXPECT_EQ(server->requests(), std::vector<std::string>{"GET /tool"});
}

TEST_F(FileResourcesEndToEnd, ErrorsAreReportedPerResource) {
  write_file(sandbox.scratch_dir() / "occupied", "a file");
  const RunResult run = sandbox.run_agent({}, fill(R"(host = "h"
[[resources]]
resource_type = "file"
name = "bad-mode"
props = { path = "{S}/f", content = "x", mode = "0o644" }

[[resources]]
resource_type = "directory"
name = "occupied"
props = { path = "{S}/occupied" }

[[resources]]
resource_type = "download"
name = "missing"
props = { url = "{U}status/404", dest = "{S}/dl" }

[[resources]]
resource_type = "cron"
name = "toln-e2e-bad"
props = { user = "root", schedule = "*/60 * * * *", command = "true" }

[[resources]]
resource_type = "file"
name = "after-bad"
after = ["file.bad-mode"]
props = { path = "{S}/g", content = "x" }
)"));
  EXPECT_EQ(run.exit_status, 3) << run.err;  // failures only
  const std::string out = run.out;
  EXPECT_NE(out.find(R"({"type":"file","name":"bad-mode","status":"failed","error":"resource error: invalid mode: 0o644"})"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(fill(R"({"type":"directory","name":"occupied","status":"failed","error":"resource error: {S}/occupied exists and is not a directory"})")),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(R"({"type":"download","name":"missing","status":"failed","error":"resource error: download failed: )"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(R"({"type":"cron","name":"toln-e2e-bad","status":"failed","error":"resource error: cron schedule field '*/60' value 60 exceeds maximum 59"})"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(R"({"type":"file","name":"after-bad","status":"skipped","error":"dependency failed"})"), std::string::npos)
      << out;
  EXPECT_NE(out.find(R"("summary":{"changed":0,"ok":0,"failed":4,"skipped":1})"), std::string::npos) << out;
  EXPECT_EQ(dir_names(sandbox.scratch_dir()), (std::vector<std::string>{"occupied", "served"}));
  EXPECT_FALSE(sandbox.read_upper("/etc/cron.d/toln-e2e-bad"));
}

}  // namespace
}  // namespace toln

namespace toln {
namespace {

namespace fs = std::filesystem;
using namespace toln::testing;

constexpr uid_t kNobody = 65534;
// The runs of the agent beside a user's racing loop: a second line behind
// the tests that make the user's move at the exact step.
constexpr int kRunsBesideUser = 20;
constexpr const char* kAsUser = "setpriv --reuid=65534 --regid=65534 --clear-groups ";

// A user's directory that the agent is pointed into, and the victims that
// user must never reach through it: root-only files in the overlaid /etc.
class PlantedPaths : public ::testing::Test {
 protected:
  void SetUp() override {
    TOLN_REQUIRE_SANDBOX();
    sandbox.add_fake("restorecon", "exit 0");
    // The user must reach its own directory.
    for (const fs::path& dir : {sandbox.root(), sandbox.scratch_dir()}) ASSERT_EQ(::chmod(dir.c_str(), 0711), 0);
    fs::create_directory(home());
    ASSERT_EQ(::chown(home().c_str(), kNobody, kNobody), 0);
    sandbox.write_upper("/etc/shadow", kShadow, 0640);
    sandbox.write_upper("/etc/cron.d/victim-job", kJob, 0644);
    // A hang guard: 40 runs beside the user's loop took 78 s under the
    // sanitizers beside eight busy loops.
    sandbox.set_run_timeout(std::chrono::seconds(400));
  }
  fs::path home() const { return sandbox.scratch_dir() / "home"; }
  // A directory where anyone may make a name, as /tmp.
  fs::path shared() const { return sandbox.scratch_dir() / "shared"; }
  void make_shared() {
    fs::create_directory(shared());
    ASSERT_EQ(::chmod(shared().c_str(), 01777), 0);
  }
  // {H}: the user's directory; {D}: the shared one.
  std::string fill(std::string text) const {
    for (const auto& [mark, dir] : {std::pair{"{H}", home()}, std::pair{"{D}", shared()}}) {
      for (std::size_t at = 0; (at = text.find(mark, at)) != std::string::npos;) text.replace(at, 3, dir.string());
    }
    return text;
  }
  // Runs sh as the user, in its directory.
  void as_user(const std::string& script) {
    const RunResult run = sandbox.run_in_namespace("cd " + home().string() +
                                                   " && exec " + kAsUser + "sh -c '" +
                                                   script + "'");
    ASSERT_EQ(run.exit_status, 0) << run.err;
  }
  // kRunsBesideUser runs of the agent on ../bundle.toml in one namespace,
  // beside the user's loop in its directory: a python body (indented by
  // eight spaces) repeated until a file "stop" appears there, an OSError
  // ending one pass. One process, so the loop makes its moves without
  // starting one for each. The output is the loop's, then "written N": the
  // runs that succeeded.
  RunResult runs_beside_user(const std::string& body) {
    write_file(sandbox.scratch_dir() / "user-loop.py",
               "import os, time\nwhile not os.path.exists(\"stop\"):\n    try:\n" + body +
                   "    except OSError:\n        pass\n",
               0644);
    return sandbox.run_in_namespace(
        "cd " + home().string() + "; " + kAsUser + "python3 ../user-loop.py & i=0; written=0; while [ $i -lt " +
        std::to_string(kRunsBesideUser) + " ]; do " TOLN_AGENT_PATH
        " < ../bundle.toml > /dev/null 2>&1 && written=$((written+1)); i=$((i+1)); done; : > stop; wait;"
        " echo written $written");
  }
  // One run of the agent; a run that reads without end is stopped by its
  // address-space limit (sanitizers need theirs unbounded).
  RunResult run(const std::string& resources, const std::string& args = "") {
#if defined(__SANITIZE_ADDRESS__)
    const std::string limit;
#else
    const std::string limit = "ulimit -v 2000000; ";
#endif
    return sandbox.run_in_namespace(limit + "exec " TOLN_AGENT_PATH " " + args, "host = \"h\"\n" + fill(resources));
  }
  // Contents, mode and owners of every victim.
  std::string victims() const {
    std::string state;
    for (const char* path : {"/etc/shadow", "/etc/cron.d", "/etc/cron.d/victim-job"}) {
      const struct stat st = lstat_of(sandbox.upper_path(path));
      state += std::string(path) + " " + format_mode(st.st_mode & 07777) + " " + std::to_string(st.st_uid) + ":" +
               std::to_string(st.st_gid) + " " + read_file(sandbox.upper_path(path)).value_or("(dir)") + "\n";
    }
    return state + "cron.d: " + ::testing::PrintToString(dir_names(sandbox.upper_path("/etc/cron.d"))) + "\n";
  }

  static constexpr std::string_view kShadow = "root:$6$secret:19000:0:99999:7:::\n";
  static constexpr std::string_view kJob = "* * * * * root true\n";
  Sandbox sandbox;
};

// part, count times over.
std::string nested(const std::string& part, int count) {
  std::string path;
  for (int i = 0; i < count; ++i) path += part;
  return path;
}

std::string unsafe_link(const std::string& link, const std::string& path, const std::string& owner) {
  return "refusing to follow symbolic link " + link + " in " + path + ": it is owned by uid 65534 but leads to a file owned by uid " +
         owner;
}

TEST_F(PlantedPaths, PlantedLinksAndSpecialFilesChangeNothing) {
  struct Case {
    std::string name;
    std::string plant;     // run as the user in its directory
    std::string resource;  // {H}: the user's directory
    std::string result;    // the report entry, {H} filled
    std::vector<std::string> left;  // in the user's directory afterwards
  } cases[] = {
      {"file mode and owner through a link", "ln -s /etc/shadow f",
       R"(resource_type = "file"
name = "f"
props = { path = "{H}/f", mode = "0666", owner = "65534" })",
       R"({"type":"file","name":"f","status":"failed","error":"resource error: )" + unsafe_link("{H}/f", "{H}/f", "0") + R"("})", {"f"}},
      {"file contents in a linked directory", "ln -s /etc/cron.d jobs",
       R"(resource_type = "file"
name = "f"
props = { path = "{H}/jobs/evil", content = "* * * * * root sh -c id\n" })",
       R"({"type":"file","name":"f","status":"failed","error":"resource error: )" +
           unsafe_link("{H}/jobs", "{H}/jobs/evil", "0") + R"("})", {"jobs"}},
      {"directory mode through a link", "ln -s /etc/cron.d d",
       R"(resource_type = "directory"
name = "d"
props = { path = "{H}/d", mode = "0777" })",
       R"({"type":"directory","name":"d","status":"failed","error":"resource error: )" + unsafe_link("{H}/d", "{H}/d", "0") +
           R"("})", {"d"}},
      {"directory absent at link/ removes the link alone", "ln -s /etc/cron.d d",
       R"(resource_type = "directory"
name = "d"
props = { path = "{H}/d/", state = "absent" })",
       R"({"type":"directory","name":"d","status":"changed","diff":"removed {H}/d/","changes":[{"field":"directory","action":"delete","from":"{H}/d/"}]})", {}},
      {"FIFO at a file path", "mkfifo f",
       R"(resource_type = "file"
name = "f"
props = { path = "{H}/f", content = "x" })",
       R"({"type":"file","name":"f","status":"failed","error":"resource error: {H}/f is not a regular file"})", {"f"}},
      {"link to /dev/zero at a file path", "ln -s /dev/zero f",
       R"(resource_type = "file"
name = "f"
props = { path = "{H}/f", content = "x" })",
       R"({"type":"file","name":"f","status":"failed","error":"resource error: )" + unsafe_link("{H}/f", "{H}/f", "0") + R"("})", {"f"}},
  };
  const std::string untouched = victims();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(as_user("rm -rf ./* && " + c.plant));
    const RunResult result = run("[[resources]]\n" + c.resource + "\n");
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.out, R"({"host":"h","resources":[)" + fill(c.result) + "]," +
                              (c.result.find("\"failed\"") != std::string::npos
                                   ? R"("summary":{"changed":0,"ok":0,"failed":1,"skipped":0}})"
                                   : R"("summary":{"changed":1,"ok":0,"failed":0,"skipped":0}})") +
                              "\n")
        << result.err;
    EXPECT_EQ(victims(), untouched);
    EXPECT_EQ(dir_names(home()), c.left);
  }
}

TEST_F(PlantedPaths, LinksSwappedInDuringRunsNeverRedirectAChange) {
  const std::string untouched = victims();
  write_file(sandbox.scratch_dir() / "bundle.toml", fill(R"(host = "h"
[[resources]]
resource_type = "file"
name = "f"
props = { path = "{H}/f", content = "pwned\n", mode = "0644", owner = "65534" }
)"));
  // One namespace for the user's loop and the runs of the agent: the user
  // keeps putting a file of its own, then a link to the victim, in place of
  // the managed file.
  const RunResult runs = runs_beside_user(R"(        with open("f.reg", "w") as mine:
            mine.write("x\n")
        os.replace("f.reg", "f")
        if os.path.lexists("f.new"):
            os.unlink("f.new")
        os.symlink("/etc/shadow", "f.new")
        os.replace("f.new", "f")
)");
  EXPECT_EQ(runs.exit_status, 0) << runs.err;
  EXPECT_EQ(victims(), untouched) << "runs that wrote the file: " << runs.out;
}

// The same move made at the one step where it could work, every time: the
// new contents are in place and nothing else of the run has happened yet
// (restorecon is started then). The user puts a link to the victim there.
TEST_F(PlantedPaths, LinkSwappedInOnceTheContentsAreWrittenRedirectsNothing) {
  sandbox.add_fake("restorecon",
                   std::string(kAsUser) + "sh -c 'ln -sfn /etc/shadow \"$1.new\" && mv -fT \"$1.new\" \"$1\"' sh \"$1\"");
  const std::string untouched = victims();
  const RunResult result = run(R"([[resources]]
resource_type = "file"
name = "f"
props = { path = "{H}/f", content = "pwned\n", mode = "0644", owner = "65534" }
)");
  EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
  EXPECT_EQ(sandbox.invocations_of("restorecon"), (std::vector<Invocation>{{"restorecon", fill("{H}/f")}}));
  EXPECT_EQ(fs::read_symlink(home() / "f"), "/etc/shadow") << "the user's move was made";
  EXPECT_EQ(victims(), untouched);
}


// A bare repository of root's with the commits "one" and "two" on main, for
// the git resources below; their ids.
std::vector<std::string> make_origin(Sandbox& sandbox, const std::string& origin) {
  return make_bare_repository(
      sandbox, origin,
      fast_import({1, "refs/heads/main", "one", "", {{"f", "one\n"}, {"other", "same\n"}}}) +
          fast_import({2, "refs/heads/main", "two", ":1", {{"f", "two\n"}}}),
      {1, 2});
}

// git is started in the directory the agent checked, and clones beside the
// path under a private name: a link the user swaps in on the way once the
// check has passed leads git nowhere. The fake git makes the user's move
// right before the real clone starts.
TEST_F(PlantedPaths, GitCloneDoesNotFollowALinkSwappedInAfterTheCheck) {
  const std::string origin = (sandbox.scratch_dir() / "origin.git").string();
  ASSERT_EQ(make_origin(sandbox, origin).size(), 2u);
  ASSERT_NO_FATAL_FAILURE(as_user("mkdir apps"));
  sandbox.add_fake("git", "[ \"$1\" = clone ] && setpriv --reuid=65534 --regid=65534 --clear-groups sh -c 'cd " +
                              home().string() + " && mv apps apps.old && ln -s /etc/cron.d apps'\n"
                              "exec /usr/bin/git \"$@\"");
  const std::string untouched = victims();
  const RunResult result = run(R"([[resources]]
resource_type = "git"
name = "app"
props = { url = ")" + origin + R"(", path = "{H}/apps/app" }
)");
  EXPECT_EQ(victims(), untouched) << result.out << result.err;
  EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
  EXPECT_TRUE(fs::exists(home() / "apps.old/app/.git")) << "the clone lands where the path was checked";
  EXPECT_EQ(dir_names(home() / "apps.old"), std::vector<std::string>{"app"});
}

// The same for a checkout that is updated: the fetch, checkout and hard
// reset act on the checkout that was checked, not on the root-owned one
// elsewhere that the user's link leads to once the fetch starts (its local
// edit would be reset away).
TEST_F(PlantedPaths, GitUpdateDoesNotFollowALinkSwappedInAfterTheCheck) {
  const std::string origin = (sandbox.scratch_dir() / "origin.git").string();
  const auto ids = make_origin(sandbox, origin);
  ASSERT_EQ(ids.size(), 2u);
  const std::string one = ids[0], two = ids[1];
  const fs::path victim = sandbox.scratch_dir() / "srv/app";
  const RunResult made = sandbox.run_in_namespace("set -e; git clone -q " + origin + " " + victim.string() + "; cd " +
                                                  victim.string() + "; git checkout -q " + one + "; echo precious > other");
  ASSERT_EQ(made.exit_status, 0) << made.err;
  ASSERT_NO_FATAL_FAILURE(as_user("mkdir apps"));
  auto with_ref = [&](const std::string& ref) {
    return R"([[resources]]
resource_type = "git"
name = "app"
props = { url = ")" + origin + R"(", path = "{H}/apps/app", ref = ")" + ref + R"(" }
)";
  };
  const RunResult cloned = run(with_ref(one.substr(0, 8)));
  ASSERT_EQ(cloned.exit_status, 0) << cloned.out << cloned.err;
  // The subcommand, wherever git's own options put it.
  sandbox.add_fake("git", "case \" $* \" in *\" fetch \"*) setpriv --reuid=65534 --regid=65534 --clear-groups sh -c 'cd " +
                              home().string() + " && mv apps apps.old && ln -s " + victim.parent_path().string() +
                              " apps' ;; esac\nexec /usr/bin/git \"$@\"");
  const RunResult updated = run(with_ref("main"));
  EXPECT_EQ(updated.exit_status, 0) << updated.out << updated.err;
  EXPECT_EQ(read_file(victim / "other"), "precious\n");
  EXPECT_EQ(read_file(victim / "f"), "one\n");
  EXPECT_EQ(read_file(home() / "apps.old/app/f"), "two\n") << "the checked checkout is the one updated";
}

// The race itself: the user keeps turning its directory into a link to
// /etc/cron.d and back while the agent clones into it, run after run.
TEST_F(PlantedPaths, GitClonesBesideAUserSwappingLinksNeverLeaveTheCheckedDirectory) {
  const std::string origin = (sandbox.scratch_dir() / "origin.git").string();
  ASSERT_EQ(make_origin(sandbox, origin).size(), 2u);
  sandbox.set_run_timeout(std::chrono::minutes(5));
  write_file(sandbox.scratch_dir() / "bundle.toml", fill(R"(host = "h"
[[resources]]
resource_type = "git"
name = "app"
props = { url = ")" + origin + R"(", path = "{H}/apps/app" }
)"));
  const std::string untouched = victims();
  const RunResult runs = runs_beside_user(R"(        os.mkdir("apps")
        os.rename("apps", "old%d" % time.monotonic_ns())
        os.symlink("/etc/cron.d", "apps")
        os.unlink("apps")
)");
  EXPECT_EQ(runs.exit_status, 0) << runs.err;
  EXPECT_EQ(victims(), untouched) << "runs that cloned: " << runs.out;
}

TEST_F(PlantedPaths, RecursiveOwnerChangeThatCannotReachTheBottomFails) {
  // With fewer descriptors than the walk keeps open (two for each of the
  // last 16 levels entered), the files down there must not stay the user's
  // while the run says the tree is root's.
  ASSERT_NO_FATAL_FAILURE(as_user("mkdir -p d" + nested("/s", 100) + " && echo x > d" + nested("/s", 100) + "/deep"));
  // Both parities: the descriptors may run out at a directory's listing
  // or at the directory below it.
  for (const char* limit : {"32", "33"}) {
    SCOPED_TRACE(limit);
    const RunResult result = sandbox.run_in_namespace(std::string("ulimit -n ") + limit + "; exec " TOLN_AGENT_PATH,
                                                      fill(R"(host = "h"
[[resources]]
resource_type = "directory"
name = "d"
props = { path = "{H}/d", owner = "root", recurse = true }
)"));
    EXPECT_EQ(result.exit_status, 3) << result.out << result.err;
    EXPECT_NE(result.out.find(R"("status":"failed","error":"resource error: chown failed: )"), std::string::npos)
        << result.out;
    ASSERT_EQ(::chown((home() / "d").c_str(), kNobody, kNobody), 0);
  }
}

TEST_F(PlantedPaths, RecursiveOwnerChangeLeavesAUsersLinksTheirOwner) {
  // Given to root, the user's link would be followed anywhere: here by the
  // file managed below the tree, into /etc/cron.d.
  ASSERT_NO_FATAL_FAILURE(as_user("mkdir d && ln -s /etc/cron.d d/jobs"));
  const std::string untouched = victims();
  const RunResult result = run(R"([[resources]]
resource_type = "directory"
name = "d"
props = { path = "{H}/d", owner = "root", recurse = true }

[[resources]]
resource_type = "file"
name = "job"
after = ["directory.d"]
props = { path = "{H}/d/jobs/evil", content = "* * * * * root sh -c id\n" }
)");
  EXPECT_NE(result.out.find(R"({"type":"file","name":"job","status":"failed","error":"resource error: )" +
                            fill(unsafe_link("{H}/d/jobs", "{H}/d/jobs/evil", "0"))),
            std::string::npos)
      << result.out;
  EXPECT_EQ(victims(), untouched);
  EXPECT_EQ(lstat_of(home() / "d").st_uid, 0u);
  EXPECT_EQ(lstat_of(home() / "d/jobs").st_uid, kNobody);
}

TEST_F(PlantedPaths, TreesTooDeepToWalkFailWithoutEndingTheRun) {
  // A user who nests its directories deep enough must not end the agent's
  // run (here with a small stack, and the usual 1,024 descriptors).
  // Deeper than 1,024 levels, a tree is refused.
  ASSERT_NO_FATAL_FAILURE(as_user("mkdir -p d" + nested("/s", 1500)));
#if defined(__SANITIZE_ADDRESS__)
  const std::string stack;  // the sanitizer's frames need the default
#else
  const std::string stack = "ulimit -s 1024; ";
#endif
  for (const auto& [props, error] : {std::pair{R"(path = "{H}/d", owner = "root", recurse = true)", "chown failed: "},
                                      std::pair{R"(path = "{H}/d", state = "absent")", "failed to remove {H}/d: "}}) {
    SCOPED_TRACE(props);
    const RunResult result = sandbox.run_in_namespace("ulimit -n 1024; " + stack + "exec " TOLN_AGENT_PATH, fill(R"(host = "h"
[[resources]]
resource_type = "directory"
name = "d"
props = { )" + std::string(props) + R"( }
)"));
    EXPECT_EQ(result.exit_status, 3) << result.out << result.err;
    EXPECT_NE(result.out.find(R"("status":"failed","error":"resource error: )" + fill(error) + "File name too long"),
              std::string::npos)
        << result.out;
    EXPECT_TRUE(fs::is_directory(home() / "d/s/s"));
  }
}

// A source is read whole into memory: a sparse file of a few GiB (no disk
// taken) that the user puts there must fail the resource, not end the run.
TEST_F(PlantedPaths, HugeSourceFailsTheResourceOnly) {
  ASSERT_NO_FATAL_FAILURE(as_user("truncate -s 3G src"));
  const RunResult result = run(R"([[resources]]
resource_type = "file"
name = "f"
props = { path = "{H}/copy", source = "{H}/src" }
)");
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_status, 3) << result.out << result.err;
  EXPECT_NE(result.out.find(R"({"type":"file","name":"f","status":"failed","error":"resource error: failed to read source )" +
                            home().string() + "/src: larger than 67108864 bytes\""),
            std::string::npos)
      << result.out;
  EXPECT_EQ(dir_names(home()), std::vector<std::string>{"src"});
}

// In a shared sticky directory (/tmp) the user makes the managed file first,
// as its own: the secret written in its place must not keep that owner.
TEST_F(PlantedPaths, FileMadeFirstInAStickyDirectoryDoesNotGiveTheUserTheSecret) {
  make_shared();
  ASSERT_NO_FATAL_FAILURE(as_user("echo mine > ../shared/secret && chmod 600 ../shared/secret"));
  const RunResult result = run(R"([[resources]]
resource_type = "file"
name = "f"
props = { path = "{D}/secret", content = "TOPSECRET\n", mode = "0600" }
)");
  EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
  EXPECT_EQ(read_file(shared() / "secret"), "TOPSECRET\n");
  EXPECT_EQ(lstat_of(shared() / "secret").st_uid, 0u);
  EXPECT_EQ(mode_of(shared() / "secret"), 0600u);
}

// The user owns the managed file; the resource hands it to root with a
// set-user-id mode. The new file must never be the user's, even for a
// moment: the user would open it for writing and keep the descriptor.
TEST_F(PlantedPaths, NewFileGivenToRootIsNeverTheUsersForAMoment) {
  write_file(sandbox.scratch_dir() / "bundle.toml", fill(R"(host = "h"
[[resources]]
resource_type = "file"
name = "f"
props = { path = "{H}/f", content = "agent\n", mode = "4755", owner = "root" }
)"));
  // The user's loop puts a file of its own back whenever the agent's is in
  // place, and keeps opening f for reading and writing: once it holds the
  // agent's file, it waits for the run to end and prints the owner and
  // mode of what it holds.
  const RunResult runs = runs_beside_user(R"(        if not os.path.exists("f") or os.stat("f").st_uid != os.getuid():
            with open("f.reg", "w") as mine:
                mine.write("x\n")
            os.replace("f.reg", "f")
        held = os.open("f", os.O_RDWR)
        try:
            if b"agent" in os.read(held, 64):
                time.sleep(0.2)
                st = os.fstat(held)
                print("held", st.st_uid, format(st.st_mode & 0o7777, "o"), flush=True)
        finally:
            os.close(held)
)");
  EXPECT_EQ(runs.exit_status, 0) << runs.err;
  EXPECT_EQ(runs.out.find("held"), std::string::npos) << runs.out;
  EXPECT_NE(runs.out.find("written "), std::string::npos) << runs.out;
  EXPECT_EQ(runs.out.find("written 0\n"), std::string::npos) << "the agent still works beside the user";
  const struct stat st = lstat_of(home() / "f");
  EXPECT_TRUE(st.st_uid == kNobody || (st.st_uid == 0 && (st.st_mode & 07777) == 04755));
}

// The same attempt made at the one step where it could work, every time:
// the new file has just been put in place and nothing else of the run has
// happened yet (restorecon is started then). The user tries to open it for
// writing, and would keep the descriptor.
TEST_F(PlantedPaths, NewFileGivenToRootIsNotTheUsersOnceInPlace) {
  ASSERT_NO_FATAL_FAILURE(as_user("echo x > f"));
  sandbox.add_fake("restorecon", std::string(kAsUser) + "sh -c 'exec 3<>\"$1\"' sh \"$1\" 2>/dev/null &&"
                                 " stat -c 'opened %u %a' \"$1\" >> \"$TOLN_FAKE_STATE/opened\"; exit 0");
  const RunResult result = run(R"([[resources]]
resource_type = "file"
name = "f"
props = { path = "{H}/f", content = "agent\n", mode = "4755", owner = "root" }
)");
  EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
  EXPECT_EQ(sandbox.invocations_of("restorecon"), (std::vector<Invocation>{{"restorecon", fill("{H}/f")}}));
  EXPECT_EQ(read_file(sandbox.state_dir() / "opened"), std::nullopt) << "the user opened the new file for writing";
  const struct stat st = lstat_of(home() / "f");
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 04755u);
  EXPECT_EQ(read_file(home() / "f"), "agent\n");
}


// A user's file that a resource without contents would hand to root (a
// helper a setup guide says to make set-uid): the user may hold it open or
// mapped for writing, and a change of owner closes neither. Nothing changes,
// in a shared directory as in the user's own release tree.
TEST_F(PlantedPaths, UsersFileIsNeverGivenAwayInPlace) {
  make_shared();
  struct Case {
    std::string path;
    std::string owner;
  } cases[] = {
      {"{D}/helper", "root"},
      {"{H}/bin/helper", "root"},
      {"{H}/bin/helper", ":0"},  // the group alone
  };
  for (const auto& c : cases) {
    const std::string path = fill(c.path);
    SCOPED_TRACE(path + " to " + c.owner);
    fs::remove_all(home() / "bin");
    fs::remove_all(shared() / "helper");
    ASSERT_NO_FATAL_FAILURE(as_user("mkdir bin && printf \"#!/bin/sh\\nid\\n\" > " + path + " && chmod 755 " + path));
    for (const char* args : {"--dry-run", ""}) {
      const RunResult result = run("[[resources]]\nresource_type = \"file\"\nname = \"f\"\nprops = { path = \"" + path +
                                       "\", mode = \"4755\", owner = \"" + c.owner + "\" }\n",
                                   args);
      EXPECT_NE(result.out.find(R"({"type":"file","name":"f","status":"failed","error":"resource error: refusing to give )" +
                                path + " to " + c.owner + R"( in place: it belongs to uid 65534"})"),
                std::string::npos)
          << result.out << result.err;
    }
    const struct stat st = lstat_of(path);
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_EQ(st.st_gid, kNobody);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
  }
}

// The user makes the file first with the very contents wanted and holds a
// shared writable mapping of it across the run, then writes through it: the
// file that is root's and set-uid afterwards must be a new one.
TEST_F(PlantedPaths, EqualContentsUnderAUsersMappingAreWrittenAfresh) {
  make_shared();
  const struct {
    std::string path;
    std::string diff;
  } cases[] = {
      {"{D}/helper", "owner and mode of uid 65534's file not kept, content"},
      {"{H}/bin/helper", "mode 0755 \u2192 4755, owner nobody \u2192 root"},
  };
  for (const auto& c : cases) {
    const std::string path = fill(c.path);
    SCOPED_TRACE(path);
    for (const fs::path& left : {home() / "bin", home() / "ready", home() / "go", shared() / "helper"}) fs::remove_all(left);
    ASSERT_NO_FATAL_FAILURE(as_user("mkdir bin"));
    const std::string resources = "[[resources]]\nresource_type = \"file\"\nname = \"f\"\nprops = { path = \"" + path +
                                  "\", content = \"trusted\", mode = \"4755\", owner = \"root\" }\n";
    write_file(sandbox.scratch_dir() / "bundle.toml", "host = \"h\"\n" + resources);
    const RunResult first = sandbox.run_in_namespace(
        "cd " + home().string() +
        " && { setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/python3 " TOLN_SOURCE_DIR
        "/tests/support/hold_mapping.py " +
        path + " trusted 'pwned!!' ready go & } && while [ ! -e ready ]; do sleep 0.05; done && " TOLN_AGENT_PATH
        " < ../bundle.toml; touch go; wait");
    EXPECT_FALSE(first.timed_out);
    EXPECT_NE(first.out.find(R"({"type":"file","name":"f","status":"changed","diff":")" + c.diff + "\""),
              std::string::npos)
        << first.out << first.err;
    EXPECT_EQ(read_file(path), "trusted") << "the user wrote into root's set-uid file through its mapping";
    EXPECT_EQ(lstat_of(path).st_uid, 0u);
    EXPECT_EQ(mode_of(path), 04755u);
    const RunResult second = run(resources);
    EXPECT_EQ(second.exit_status, 1) << second.out << second.err;
  }
}

// A sparse file costs its owner nothing: one of 8 EiB at a managed path must
// never be read (at a GiB a second, centuries). In a shared directory it is
// replaced as if it were not there; in the user's own directory its size,
// other than the wanted contents', decides, and it is too large for its
// digest to be taken.
TEST_F(PlantedPaths, HugeSparseFilesAreNeverRead) {
  const fs::path huge = sandbox.scratch_dir() / "huge";
  fs::create_directory(huge);
  const std::string digest = content_digest("small\n");
  const RunResult result = sandbox.run_in_namespace(
      "/bin/mount -t tmpfs -o size=1m tmpfs " + huge.string() + " && chmod 1777 " + huge.string() + " && mkdir " +
          huge.string() + "/mine && chown 65534:65534 " + huge.string() +
          "/mine && setpriv --reuid=65534 --regid=65534 --clear-groups truncate -s 9223372036854775807 " +
          huge.string() + "/big " + huge.string() + "/mine/big && " TOLN_AGENT_PATH "; stat -c '%u %s' " +
          huge.string() + "/big " + huge.string() + "/mine/big",
      "host = \"h\"\n[[resources]]\nresource_type = \"file\"\nname = \"shared\"\nprops = { path = \"" + huge.string() +
          "/big\", content = \"small\\n\" }\n\n[[resources]]\nresource_type = \"file\"\nname = \"own\"\nprops = { path = \"" +
          huge.string() + "/mine/big\", content = \"small\\n\" }\n");
  EXPECT_FALSE(result.timed_out) << "the run read the sparse file";
  EXPECT_EQ(result.out,
            R"({"host":"h","resources":[)"
            R"({"type":"file","name":"own","status":"changed","diff":"content","changes":[{"field":"content","action":"update","to":")" +
                digest + R"("}]},)"
                R"({"type":"file","name":"shared","status":"changed","diff":"owner and mode of uid 65534's file not kept, content","changes":[{"field":"content","action":"create","to":")" +
                digest + R"("}]}],)"
                         R"("summary":{"changed":2,"ok":0,"failed":0,"skipped":0}})"
                         "\n0 6\n65534 6\n")
      << result.err;
}

// A cron spool (1730 root:crontab) holds each user's own crontab, not bait:
// rewritten, it stays the user's, in the spool's group and 0600, or cron
// skips it.
TEST_F(PlantedPaths, CronSpoolKeepsTheUsersCrontab) {
  constexpr gid_t kCrontab = 4242;
  const fs::path spool = "/etc/toln-spool/crontabs";
  sandbox.write_upper(spool / "nobody", "# old\n", 0600);
  ASSERT_EQ(::chown(sandbox.upper_path(spool).c_str(), 0, kCrontab), 0);
  ASSERT_EQ(::chmod(sandbox.upper_path(spool).c_str(), 01730), 0);
  ASSERT_EQ(::chown(sandbox.upper_path(spool / "nobody").c_str(), kNobody, kCrontab), 0);
  const RunResult result = run(R"([[resources]]
resource_type = "file"
name = "crontab"
props = { path = "/etc/toln-spool/crontabs/nobody", content = "* * * * * true\n" }
)");
  EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
  EXPECT_EQ(sandbox.read_upper(spool / "nobody"), "* * * * * true\n");
  const struct stat st = lstat_of(sandbox.upper_path(spool / "nobody"));
  EXPECT_EQ(st.st_uid, kNobody);
  EXPECT_EQ(st.st_gid, kCrontab);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// The agent's process id is there for anyone to read: a temporary name made
// of it alone could be taken first in a shared directory, and would then
// block the write for the life of a serve daemon.
TEST_F(PlantedPaths, TemporaryNamesCannotBeTakenFirst) {
  make_shared();
  write_file(sandbox.scratch_dir() / "bundle.toml", fill(R"(host = "h"
[[resources]]
resource_type = "file"
name = "motd"
props = { path = "{D}/motd", content = "hello\n" }
)"));
  // The agent is exec'd by the shell, so it has the shell's id.
  const RunResult result = sandbox.run_in_namespace(
      "setpriv --reuid=65534 --regid=65534 --clear-groups mkdir " + shared().string() +
      "/.motd.toln-tmp.$$ && exec " TOLN_AGENT_PATH " < bundle.toml");
  EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
  EXPECT_EQ(read_file(shared() / "motd"), "hello\n");
  EXPECT_EQ(dir_names(shared()).size(), 2u) << "the user's directory stays";
}

TEST_F(PlantedPaths, LegitimateLinksAndNamesConvergeOnTheSecondRun) {
  const std::string long_name(250, 'n');
  const std::string longest(255, 'm');
  make_shared();
  ASSERT_NO_FATAL_FAILURE(as_user("mkdir -p releases/42 && echo app > releases/42/app.conf && ln -s releases/42 current && "
          "echo other > releases/42/other.conf && ln -s current/other.conf other.conf && mkdir data"));
  write_file(sandbox.scratch_dir() / "tool", "old\n", 0755);
  const fs::path real_conf = sandbox.scratch_dir() / "run/resolv.conf";
  write_file(real_conf, "nameserver 10.0.0.1\n");
  ASSERT_EQ(sandbox.run_in_namespace("ln -s " + real_conf.string() + " /etc/toln-resolv.conf").exit_status, 0);
  const std::string resources = R"([[resources]]
resource_type = "file"
name = "resolv"
props = { path = "/etc/toln-resolv.conf", content = "nameserver 10.0.0.1\n", mode = "0600", owner = "nobody" }

[[resources]]
resource_type = "file"
name = "release"
props = { path = "{H}/current/app.conf", content = "app\n", mode = "0640", owner = "nobody" }

[[resources]]
resource_type = "file"
name = "release-link"
props = { path = "{H}/other.conf", mode = "0600", owner = "nobody" }

[[resources]]
resource_type = "directory"
name = "data"
props = { path = "{H}/data/", mode = "0750", owner = "nobody" }

[[resources]]
resource_type = "file"
name = "long"
props = { path = "{H}/)" + long_name + R"(", content = "x" }

[[resources]]
resource_type = "file"
name = "longest"
props = { path = "{H}/)" + longest + R"(", content = "x" }

[[resources]]
resource_type = "file"
name = "set-uid"
props = { path = "{H}/../tool", content = "#!/bin/sh\n", mode = "4755", owner = "root" }

[[resources]]
resource_type = "file"
name = "made-in-shared"
props = { path = "{D}/made", content = "x", mode = "0600", owner = "nobody" }

[[resources]]
resource_type = "file"
name = "made-in-home"
props = { path = "{H}/made", content = "x", mode = "4755", owner = "nobody" }
)";
  const RunResult first = run(resources);
  EXPECT_EQ(first.exit_status, 0) << first.out << first.err;
  EXPECT_NE(first.out.find(R"({"type":"file","name":"resolv","status":"changed","diff":"mode 0644 → 0600, owner root → nobody")"),
            std::string::npos)
      << first.out;
  EXPECT_NE(first.out.find(R"("summary":{"changed":9,"ok":0,"failed":0,"skipped":0})"), std::string::npos) << first.out;
  EXPECT_EQ(mode_of(sandbox.scratch_dir() / "tool"), 04755u);
  EXPECT_EQ(lstat_of(shared() / "made").st_uid, kNobody);
  EXPECT_EQ(mode_of(home() / "made"), 04755u);
  EXPECT_EQ(lstat_of(real_conf).st_uid, kNobody);
  EXPECT_EQ(mode_of(real_conf), 0600u);
  EXPECT_EQ(mode_of(home() / "releases/42/app.conf"), 0640u);
  EXPECT_EQ(mode_of(home() / "releases/42/other.conf"), 0600u);
  EXPECT_EQ(mode_of(home() / "data"), 0750u);
  EXPECT_EQ(read_file(home() / long_name), "x");
  EXPECT_EQ(read_file(home() / longest), "x");

  const RunResult second = run(resources);
  EXPECT_EQ(second.exit_status, 1) << second.out << second.err;
  EXPECT_NE(second.out.find(R"("summary":{"changed":0,"ok":9,"failed":0,"skipped":0})"), std::string::npos)
      << second.out;
}

// In a shared sticky directory (/tmp) the user makes the directory a job of
// root's will write into, holding a link of its own: kept as root's 0700 by
// the bundle, the job's report would go through the link to the victim.
TEST_F(PlantedPaths, UsersDirectoryInAStickyDirectoryIsNotAdopted) {
  const fs::path shared = sandbox.scratch_dir() / "shared";
  fs::create_directory(shared);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  ASSERT_NO_FATAL_FAILURE(as_user("mkdir ../shared/nightly && ln -s /etc/shadow ../shared/nightly/report.txt"));
  const std::string untouched = victims();
  const RunResult result = run(R"([[resources]]
resource_type = "directory"
name = "nightly"
props = { path = ")" + (shared / "nightly").string() + R"(", owner = "root", mode = "0700" }
)");
  // The job trusts a directory the run kept as root's.
  if (result.exit_status <= 1) {
    ASSERT_EQ(sandbox.run_in_namespace("echo report > " + (shared / "nightly/report.txt").string()).exit_status, 0);
  }
  EXPECT_EQ(result.exit_status, 3) << result.err;
  EXPECT_EQ(result.out, R"({"host":"h","resources":[{"type":"directory","name":"nightly","status":"failed","error":"resource error: refusing to adopt )" +
                            (shared / "nightly").string() +
                            R"(: it exists and belongs to uid 65534"}],"summary":{"changed":0,"ok":0,"failed":1,"skipped":0}})"
                            "\n");
  EXPECT_EQ(victims(), untouched);
  EXPECT_EQ(lstat_of(shared / "nightly").st_uid, kNobody);
}

// A checkout's links are root's, whoever wrote them: "storage -> /etc"
// committed to a repository. A recursive change of owner at such a path
// changes the link itself, never what it leads to, as "chown -R" does; the
// link, now the user's, is then refused as any user's link to root's files.
TEST_F(PlantedPaths, RecursiveOwnerChangeNeverTraversesALinkAtThePath) {
  ASSERT_NO_FATAL_FAILURE(as_user("mkdir app"));
  ASSERT_EQ(sandbox.run_in_namespace("ln -s /etc " + (home() / "app/storage").string()).exit_status, 0);
  const std::string untouched = victims();
  const std::string resources = R"([[resources]]
resource_type = "directory"
name = "storage"
props = { path = "{H}/app/storage", owner = "nobody", recurse = true }
)";
  const RunResult first = run(resources);
  EXPECT_EQ(first.out, fill(R"({"host":"h","resources":[{"type":"directory","name":"storage","status":"changed","diff":"owner/group -> nobody","changes":[{"field":"owner_group","action":"update","to":"nobody"}]}],"summary":{"changed":1,"ok":0,"failed":0,"skipped":0}})"
                            "\n"))
      << first.err;
  EXPECT_EQ(victims(), untouched);
  EXPECT_EQ(lstat_of(home() / "app/storage").st_uid, kNobody);
  const RunResult second = run(resources);
  EXPECT_NE(second.out.find(fill(R"("status":"failed","error":"resource error: )" +
                                 unsafe_link("{H}/app/storage", "{H}/app/storage", "0"))),
            std::string::npos)
      << second.out;
  EXPECT_EQ(victims(), untouched);
}

// A trailing slash names a directory, as the kernel has it: "f/" where f is
// a file is neither read, nor changed, nor removed.
TEST_F(FileResourcesEndToEnd, TrailingSlashOnAFileNamesNoFile) {
  const fs::path dir = sandbox.scratch_dir();
  write_file(dir / "f", "same\n", 0644);
  fs::create_directory(dir / "d");
  ASSERT_EQ(::chmod((dir / "d").c_str(), 0755), 0);
  const std::string bundle = fill(R"(host = "h"
[[resources]]
resource_type = "file"
name = "mode"
props = { path = "{S}/f/", mode = "0600" }

[[resources]]
resource_type = "file"
name = "content"
props = { path = "{S}/f/", content = "same\n" }

[[resources]]
resource_type = "directory"
name = "file"
props = { path = "{S}/f/" }

[[resources]]
resource_type = "directory"
name = "absent"
props = { path = "{S}/f/", state = "absent" }

[[resources]]
resource_type = "directory"
name = "real"
props = { path = "{S}/d/", mode = "0700" }
)");
  // Resources without an order between them run in the order of their ids.
  const auto report = [&](const std::string& real, const std::string& summary) {
    return fill(R"({"host":"h","resources":[{"type":"directory","name":"absent","status":"ok"},)"
                R"({"type":"directory","name":"file","status":"failed","error":"resource error: {S}/f/ exists and is not a directory"},)" +
                real +
                R"j(,{"type":"file","name":"content","status":"failed","error":"resource error: failed to read {S}/f/: Not a directory (os error 20)"},)j"
                R"({"type":"file","name":"mode","status":"ok"}],"summary":)" +
                summary + "}\n");
  };
  const RunResult first = sandbox.run_agent({}, bundle);
  EXPECT_EQ(first.out, report(R"({"type":"directory","name":"real","status":"changed","diff":"mode 0755 → 0700","changes":[{"field":"mode","action":"update","from":"0755","to":"0700"}]})",
                              R"({"changed":1,"ok":2,"failed":2,"skipped":0})"))
      << first.err;
  const RunResult second = sandbox.run_agent({}, bundle);
  EXPECT_EQ(second.out, report(R"({"type":"directory","name":"real","status":"ok"})", R"({"changed":0,"ok":3,"failed":2,"skipped":0})"))
      << second.err;
  EXPECT_EQ(read_file(dir / "f"), "same\n");
  EXPECT_EQ(mode_of(dir / "f"), 0644u);
  EXPECT_EQ(mode_of(dir / "d"), 0700u);
}

}  // namespace
}  // namespace toln
