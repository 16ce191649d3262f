#include "serve/serve_report.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "harness/temp_dir.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;

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

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class WriteServeReport : public ::testing::Test {
 protected:
  testing::TempDir dir_{"toln-serve-report"};
  const std::string run_id_ = "2024-01-02T03-04-05-000000123";
  const std::string file_name_ = run_id_ + "-serve.json";
};

TEST_F(WriteServeReport, CreatesTheDirectoriesAndNamesTheFileAfterTheRunId) {
  const std::string reports = (dir_.path() / "var/lib/runs").string();
  const auto path = write_serve_report(reports, "https://example.test/b.toml", sample_report(), run_id_);
  ASSERT_TRUE(path) << display_agent_error(path.error());
  EXPECT_EQ(*path, reports + "/" + file_name_);
  EXPECT_EQ(read_file(*path), kSampleText);
  EXPECT_EQ(names_in(reports), std::vector<std::string>{file_name_}) << "no temporary file is left";

  const mode_t mask = ::umask(0);
  ::umask(mask);
  struct stat st {};
  ASSERT_EQ(::stat(path->c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask);
  ASSERT_EQ(::stat(reports.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0777 & ~mask);

  // A trailing slash gives the same path; a file of that name is replaced.
  const auto again = write_serve_report(reports + "/", "b.toml", build_report("h", {}), run_id_);
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, reports + "/" + file_name_);
  EXPECT_TRUE(read_file(*again).starts_with("{\n  \"source\": \"b.toml\",")) << read_file(*again);
  EXPECT_EQ(names_in(reports), std::vector<std::string>{file_name_});
}

TEST_F(WriteServeReport, FailuresNameTheirStepAndLeaveNoPartialFile) {
  const fs::path regular = dir_.path() / "regular";
  std::ofstream(regular) << "x";
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
  const fs::path reports = dir_.path() / "reports";
  fs::create_directories(reports / file_name_ / "child");
  const auto blocked = write_serve_report(reports.string(), "b.toml", build_report("h", {}), run_id_);
  ASSERT_FALSE(blocked);
  EXPECT_EQ(display_agent_error(blocked.error()), "failed to write serve report: Is a directory (os error 21)");
  EXPECT_EQ(names_in(reports), std::vector<std::string>{file_name_});
}

}  // namespace
}  // namespace toln
