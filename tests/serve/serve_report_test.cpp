#include "serve/serve_report.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "harness/sandbox.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using testing::Invocation;
using testing::RunResult;
using testing::Sandbox;

ResourceResult with_diff(std::string diff) { return result_changed("file", "/etc/motd", std::move(diff)); }

TEST(ScrubResult, CutsLongDiffsOnACharacterBoundary) {
  const std::string two_byte = "\u00e9";    // 2 bytes
  const std::string three_byte = "\u20ac";  // 3 bytes
  struct Case {
    std::string diff;
    std::string scrubbed;
  } cases[] = {
      {"", ""},
      {std::string(200, 'a'), std::string(200, 'a')},
      {std::string(201, 'a'), std::string(200, 'a') + "..."},
      {[&] { std::string s; for (int i = 0; i < 300; ++i) s += two_byte; return s; }(),
       [&] { std::string s; for (int i = 0; i < 100; ++i) s += two_byte; return s + "..."; }()},
      // The euro sign takes bytes 198..200: the cut falls before it.
      {std::string(198, 'a') + three_byte + "b", std::string(198, 'a') + "..."},
      {std::string(197, 'a') + three_byte + "b", std::string(197, 'a') + three_byte + "..."},
      {std::string(197, 'a') + three_byte, std::string(197, 'a') + three_byte},
  };
  for (const auto& c : cases) {
    const ResourceResult scrubbed = scrub_result(with_diff(c.diff));
    EXPECT_EQ(scrubbed.diff, c.scrubbed) << c.diff.size() << " bytes";
  }
  EXPECT_EQ(scrub_result(with_diff(std::string(201, 'a'))).diff->size(), 203u);
  EXPECT_FALSE(scrub_result(result_ok("cmd", "x")).diff);
}

TEST(ScrubResult, DropsValuesAndKeepsTheRest) {
  ResourceResult result = result_with_changes(with_diff("content"), {change_update("mode", "0644", "0600"),
                                                                    change_create("owner", "root")});
  result.from = "old";
  result.to = "new";
  result.output = "secret output";
  result.error = "partly failed";
  result.failure_kind = "kind";
  const ResourceResult original = result;

  const ResourceResult scrubbed = scrub_result(result);
  EXPECT_EQ(scrubbed.type, "file");
  EXPECT_EQ(scrubbed.name, "/etc/motd");
  EXPECT_EQ(scrubbed.status, ResourceStatus::Changed);
  EXPECT_EQ(scrubbed.diff, "content");
  EXPECT_EQ(scrubbed.error, "partly failed");
  EXPECT_EQ(scrubbed.failure_kind, "kind");
  EXPECT_FALSE(scrubbed.from || scrubbed.to || scrubbed.output);
  ASSERT_EQ(scrubbed.changes.size(), 2u);
  EXPECT_EQ(scrubbed.changes[0].field, "mode");
  EXPECT_EQ(scrubbed.changes[0].action, ChangeAction::Update);
  EXPECT_EQ(scrubbed.changes[1].field, "owner");
  EXPECT_EQ(scrubbed.changes[1].action, ChangeAction::Create);
  for (const auto& change : scrubbed.changes) EXPECT_FALSE(change.from || change.to) << change.field;
  // The caller's copy is left alone.
  EXPECT_EQ(result.output, original.output);
  EXPECT_EQ(result.changes[0].from, "0644");
}

TEST(ScrubReport, ScrubsEveryResultAndKeepsHostAndCounts) {
  ResourceResult loud = result_changed("cmd", "a", std::string(300, 'x'));
  loud.output = "out";
  const RunReport report = build_report("web-01", {loud, result_failed("cmd", "b", "boom")});
  const RunReport scrubbed = scrub_report(report);
  EXPECT_EQ(scrubbed.host, "web-01");
  EXPECT_EQ(scrubbed.summary.changed, 1u);
  EXPECT_EQ(scrubbed.summary.failed, 1u);
  ASSERT_EQ(scrubbed.resources.size(), 2u);
  EXPECT_EQ(scrubbed.resources[0].diff, std::string(200, 'x') + "...");
  EXPECT_FALSE(scrubbed.resources[0].output);
  EXPECT_EQ(scrubbed.resources[1].error, "boom");
  EXPECT_EQ(report.resources[0].output, "out");
}

RunReport sample_report() {
  ResourceResult file = result_with_changes(result_changed("file", "/etc/motd", "content"),
                                            {change_update("mode", "0644", "0600")});
  file.from = "old";
  file.to = "new";
  ResourceResult cmd = result_ok("cmd", "say \"hi\"\n");
  cmd.output = "hi";
  return build_report("web-01", {file, cmd, result_failed("pkg", "nginx", "resource error: no package manager")});
}

constexpr std::string_view kSampleText = R"({
  "source": "https://example.test/b.toml",
  "summary": {
    "host": "web-01",
    "resources": [
      {
        "changes": [
          {
            "action": "update",
            "field": "mode"
          }
        ],
        "diff": "content",
        "name": "/etc/motd",
        "status": "changed",
        "type": "file"
      },
      {
        "name": "say \"hi\"\n",
        "status": "ok",
        "type": "cmd"
      },
      {
        "error": "resource error: no package manager",
        "name": "nginx",
        "status": "failed",
        "type": "pkg"
      }
    ],
    "summary": {
      "changed": 1,
      "failed": 1,
      "ok": 1,
      "skipped": 0
    }
  },
  "timestamp": "2024-01-02T03-04-05-000000123"
})";

TEST(RenderServeReport, PrettyJsonWithSortedKeysAndNoFinalNewline) {
  const auto text = render_serve_report("https://example.test/b.toml", sample_report(), "2024-01-02T03-04-05-000000123");
  ASSERT_TRUE(text) << display_agent_error(text.error());
  EXPECT_EQ(*text, kSampleText);

  const auto empty = render_serve_report("b.toml", build_report("h", {}), "id");
  ASSERT_TRUE(empty);
  EXPECT_EQ(*empty,
            "{\n  \"source\": \"b.toml\",\n  \"summary\": {\n    \"host\": \"h\",\n    \"resources\": [],\n"
            "    \"summary\": {\n      \"changed\": 0,\n      \"failed\": 0,\n      \"ok\": 0,\n      \"skipped\": 0\n"
            "    }\n  },\n  \"timestamp\": \"id\"\n}");
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

mode_t mode_of(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The file goes through atomic_write, which runs restorecon: every write
// happens in the sandbox.
class WriteServeReport : public ::testing::Test {
 protected:
  void SetUp() override { TOLN_REQUIRE_SANDBOX(); }
  Sandbox sandbox;
  const fs::path dir_ = sandbox.scratch_dir();
  const std::string run_id_ = "2024-01-02T03-04-05-000000123";
  const std::string file_name_ = run_id_ + "-serve.json";
};

TEST_F(WriteServeReport, CreatesTheDirectoriesAndNamesTheFileAfterTheRunId) {
  const std::string reports = (dir_ / "var/lib/runs").string();
  sandbox.run_in_process([&] {
    ::umask(0);  // the modes are the writer's own, not the umask's
    const auto path = write_serve_report(reports, "https://example.test/b.toml", sample_report(), run_id_);
    ASSERT_TRUE(path) << display_agent_error(path.error());
    EXPECT_EQ(*path, reports + "/" + file_name_);
    EXPECT_EQ(read_file(*path), kSampleText);
    EXPECT_EQ(names_in(reports), std::vector<std::string>{file_name_}) << "no temporary file is left";
    EXPECT_EQ(mode_of(*path), 0600u);
    EXPECT_EQ(mode_of(reports), 0700u);
    EXPECT_EQ(mode_of(dir_ / "var/lib"), 0777u) << "parents are made as before";

    // A trailing slash gives the same path; a file of that name is replaced.
    const auto again = write_serve_report(reports + "/", "b.toml", build_report("h", {}), run_id_);
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, reports + "/" + file_name_);
    EXPECT_TRUE(read_file(*again).starts_with("{\n  \"source\": \"b.toml\",")) << read_file(*again);
    EXPECT_EQ(names_in(reports), std::vector<std::string>{file_name_});
    EXPECT_EQ(mode_of(*again), 0600u);
  });
  const std::string path = reports + "/" + file_name_;
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{{"restorecon", path}, {"restorecon", path}}));
}

TEST_F(WriteServeReport, AnExistingDirectoryKeepsItsMode) {
  const fs::path reports = dir_ / "reports";
  fs::create_directory(reports);
  fs::permissions(reports, fs::perms(0755));
  sandbox.run_in_process([&] {
    const auto path = write_serve_report(reports.string(), "b.toml", build_report("h", {}), run_id_);
    ASSERT_TRUE(path) << display_agent_error(path.error());
    EXPECT_EQ(mode_of(*path), 0600u);
    EXPECT_EQ(mode_of(reports), 0755u);
  });
}

TEST_F(WriteServeReport, FailuresNameTheirStepAndLeaveNoPartialFile) {
  const fs::path regular = dir_ / "regular";
  std::ofstream(regular) << "x";
  const fs::path reports = dir_ / "reports";
  fs::create_directories(reports / file_name_ / "child");
  const std::string target = (reports / file_name_).string();
  const std::string temp = (reports / ("." + file_name_ + ".toln-tmp.")).string();
  sandbox.run_in_process([&] {
    struct Case {
      std::string report_dir;
      std::string error;
    } cases[] = {
        {regular.string(), "failed to create report dir: Not a directory (os error 20)"},
        {(regular / "sub").string(), "failed to create report dir: Not a directory (os error 20)"},
    };
    for (const auto& c : cases) {
      const auto path = write_serve_report(c.report_dir, "b.toml", build_report("h", {}), run_id_);
      ASSERT_FALSE(path) << c.report_dir;
      EXPECT_EQ(path.error().kind(), AgentError::Other);
      EXPECT_EQ(display_agent_error(path.error()), c.error);
    }

    // A directory in the file's place: the rename fails, the temporary file
    // is removed.
    const auto blocked = write_serve_report(reports.string(), "b.toml", build_report("h", {}), run_id_);
    ASSERT_FALSE(blocked);
    const std::string error = display_agent_error(blocked.error());
    EXPECT_TRUE(error.starts_with("failed to write serve report: failed to rename " + temp + std::to_string(::getpid()) +
                                  ".") &&
                error.ends_with(" -> " + target + ": Is a directory (os error 21)"))
        << error;
    EXPECT_EQ(names_in(reports), std::vector<std::string>{file_name_});
  });
}

// In a shared sticky directory (/tmp) anyone may make the report
// directory's name first, or a name on the way to it. The user's planted
// object, in a directory open to all as /tmp is, must never take the
// reports, nor have the agent make a directory where a link of theirs leads.
TEST_F(WriteServeReport, NamesAnotherUserMadeFirstAreRefused) {
  ASSERT_EQ(::chmod(sandbox.root().c_str(), 0711), 0);  // the user must reach the shared directory
  ASSERT_EQ(::chmod(dir_.c_str(), 0711), 0);
  const fs::path shared = dir_ / "shared";
  struct Case {
    std::string name;
    std::string plant;       // run as the user in the shared directory
    std::string report_dir;  // in the shared directory
    std::string error;       // after "failed to create report dir: "; {D} is the shared directory
  } cases[] = {
      {"a user's directory", "mkdir runs", "runs", "refusing to use {D}/runs: it belongs to uid 65534"},
      {"a user's link to their own directory", "mkdir mine && ln -s mine runs", "runs",
       "refusing to use {D}/runs: it belongs to uid 65534"},
      {"a user's link to root's directory", "ln -s /etc runs", "runs",
       "refusing to follow symbolic link {D}/runs in {D}/runs: it is owned by uid 65534 but leads to a file owned by "
       "uid 0"},
      {"a user's link on the way", "ln -s /etc way", "way/runs",
       "refusing to follow symbolic link {D}/way in {D}/way: it is owned by uid 65534 but leads to a file owned by "
       "uid 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(shared);
    fs::create_directory(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    const RunResult planted = sandbox.run_in_namespace("cd " + shared.string() +
                                                       " && setpriv --reuid=65534 --regid=65534 --clear-groups sh -c '" +
                                                       c.plant + "'");
    ASSERT_EQ(planted.exit_status, 0) << planted.err;
    std::string error = "failed to create report dir: " + c.error;
    for (std::size_t at; (at = error.find("{D}")) != std::string::npos;) error.replace(at, 3, shared.string());
    sandbox.run_in_process([&] {
      const auto path = write_serve_report((shared / c.report_dir).string(), "b.toml", build_report("h", {}), run_id_);
      ASSERT_FALSE(path) << *path;
      EXPECT_EQ(path.error().kind(), AgentError::Other);
      EXPECT_EQ(display_agent_error(path.error()), error);
    });
    const RunResult reports = sandbox.run_in_namespace("find " + shared.string() + " /etc -name '*-serve.json'");
    EXPECT_EQ(reports.out, "") << "no report where the user can reach it";
    EXPECT_FALSE(fs::exists(sandbox.upper_path("/etc/runs"))) << "no directory made where the link leads";
  }
}

// Reports quote errors unredacted, those of sensitive resources included:
// another user can read neither a report nor the list of them.
TEST(ServeReportPrivacy, OtherUsersCannotReadReports) {
  TOLN_REQUIRE_SANDBOX();
  Sandbox sandbox;
  sandbox.overlay("/var/lib");
  std::ofstream(sandbox.scratch_dir() / "bundle.toml")
      << "host = \"h\"\n[[resources]]\nresource_type = \"cmd\"\nname = \"login\"\nsensitive = true\n"
         "props = { command = \"echo token=s3cret >&2; exit 1\", unless = \"false\" }\n";
  const fs::path runs = "/var/lib/toln/runs";
  const fs::path open_dir = "/var/lib/toln-open";
  ASSERT_EQ(sandbox.run_in_namespace("mkdir -m 0755 " + open_dir.string()).exit_status, 0);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"serve", "--source", "bundle.toml", "--once"},
        std::vector<std::string>{"serve", "--source", "bundle.toml", "--once", "--report-dir", open_dir}}) {
    const RunResult run = sandbox.run_agent(args);
    EXPECT_EQ(run.exit_status, 3) << run.err;
  }
  const std::string as_nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  // The report holds the secret, for root.
  const RunResult as_root = sandbox.run_in_namespace("cat " + runs.string() + "/*-serve.json");
  EXPECT_NE(as_root.out.find("token=s3cret"), std::string::npos) << as_root.out << as_root.err;

  const RunResult listing = sandbox.run_in_namespace(as_nobody + "ls " + runs.string());
  EXPECT_NE(listing.exit_status, 0) << listing.out;
  EXPECT_NE(listing.err.find("Permission denied"), std::string::npos) << listing.err;
  const RunResult modes = sandbox.run_in_namespace("stat -c %a " + runs.string() + " " + runs.string() +
                                                   "/*-serve.json " + open_dir.string() + " " + open_dir.string() +
                                                   "/*-serve.json");
  EXPECT_EQ(modes.out, "700\n600\n755\n600\n") << modes.err;
  // In a directory its operator opened, the file itself stays closed.
  const RunResult reading = sandbox.run_in_namespace(as_nobody + "sh -c 'ls " + open_dir.string() + "; cat " +
                                                     open_dir.string() + "/*-serve.json'");
  EXPECT_NE(reading.exit_status, 0);
  EXPECT_NE(reading.out.find("-serve.json"), std::string::npos) << reading.out << reading.err;
  EXPECT_EQ(reading.out.find("s3cret"), std::string::npos) << reading.out;
  EXPECT_NE(reading.err.find("Permission denied"), std::string::npos) << reading.err;
}

}  // namespace
}  // namespace toln
