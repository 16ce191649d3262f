#include "model/run_report.hpp"

#include <gtest/gtest.h>

#include "model/exit_status.hpp"

namespace toln {
namespace {

void expect_only(const ResourceResult& r, const std::string& type, const std::string& name, ResourceStatus status,
                 const std::optional<std::string>& diff, const std::optional<std::string>& error) {
  EXPECT_EQ(r.type, type);
  EXPECT_EQ(r.name, name);
  EXPECT_EQ(r.status, status);
  EXPECT_EQ(r.diff, diff);
  EXPECT_EQ(r.error, error);
  EXPECT_FALSE(r.from);
  EXPECT_FALSE(r.to);
  EXPECT_FALSE(r.output);
  EXPECT_FALSE(r.failure_kind);
  EXPECT_TRUE(r.changes.empty());
}

TEST(ResultRecords, StatusAndActionValues) {
  EXPECT_EQ(static_cast<int>(ResourceStatus::Ok), 0);
  EXPECT_EQ(static_cast<int>(ResourceStatus::Changed), 1);
  EXPECT_EQ(static_cast<int>(ResourceStatus::Failed), 2);
  EXPECT_EQ(static_cast<int>(ResourceStatus::Skipped), 3);
  EXPECT_EQ(static_cast<int>(ChangeAction::Create), 0);
  EXPECT_EQ(static_cast<int>(ChangeAction::Update), 1);
  EXPECT_EQ(static_cast<int>(ChangeAction::Delete), 2);
  EXPECT_EQ(sizeof(ResourceStatus), 1u);
  EXPECT_EQ(sizeof(ChangeAction), 1u);
}

TEST(ResultConstructors, SetOnlyWhatTheyName) {
  expect_only(result_ok("file", "/etc/motd"), "file", "/etc/motd", ResourceStatus::Ok, std::nullopt, std::nullopt);
  const std::string diff = "content";
  expect_only(result_changed("file", "/etc/motd", diff), "file", "/etc/motd", ResourceStatus::Changed, "content",
              std::nullopt);
  expect_only(result_failed("cmd", "x", "boom"), "cmd", "x", ResourceStatus::Failed, std::nullopt, "boom");
  expect_only(result_changed("file", "f", ""), "file", "f", ResourceStatus::Changed, "", std::nullopt);
}

TEST(ResultConstructors, FromMessages) {
  struct Case {
    std::vector<std::string> messages;
    ResourceStatus status;
    std::optional<std::string> diff;
  } cases[] = {
      {{}, ResourceStatus::Ok, std::nullopt},
      {{"a"}, ResourceStatus::Changed, "a"},
      {{"a", "b"}, ResourceStatus::Changed, "a, b"},
      {{"+nginx", "-apache2", "mode 0644 → 0600"}, ResourceStatus::Changed, "+nginx, -apache2, mode 0644 → 0600"},
      {{""}, ResourceStatus::Changed, ""},
  };
  for (const auto& c : cases) {
    expect_only(result_from_messages("pkg", "web", c.messages), "pkg", "web", c.status, c.diff, std::nullopt);
  }
}

TEST(ResultConstructors, FieldChanges) {
  const FieldChange create = change_create("content", "new");
  EXPECT_EQ(create.field, "content");
  EXPECT_EQ(create.action, ChangeAction::Create);
  EXPECT_FALSE(create.from);
  EXPECT_EQ(create.to, "new");

  const FieldChange update = change_update("mode", "0644", "0600");
  EXPECT_EQ(update.action, ChangeAction::Update);
  EXPECT_EQ(update.from, "0644");
  EXPECT_EQ(update.to, "0600");

  const FieldChange remove = change_delete("path", "/old");
  EXPECT_EQ(remove.action, ChangeAction::Delete);
  EXPECT_EQ(remove.from, "/old");
  EXPECT_FALSE(remove.to);
}

TEST(ResultConstructors, WithChangesReplacesTheList) {
  ResourceResult r = result_with_changes(result_changed("file", "f", "content"), {change_create("a", "1")});
  r = result_with_changes(std::move(r), {change_update("b", "1", "2"), change_delete("c", "3")});
  ASSERT_EQ(r.changes.size(), 2u);
  EXPECT_EQ(r.changes[0].field, "b");
  EXPECT_EQ(r.changes[1].field, "c");
  EXPECT_EQ(r.diff, "content");
  EXPECT_EQ(r.status, ResourceStatus::Changed);

  r = result_with_changes(std::move(r), {});
  EXPECT_TRUE(r.changes.empty());
}

TEST(BuildReport, CountsEveryStatus) {
  std::vector<ResourceResult> results = {
      result_ok("a", "1"),          result_changed("a", "2", "d"), result_changed("a", "3", "d"),
      result_failed("a", "4", "e"), result_ok("a", "5"),           result_ok("a", "6"),
  };
  ResourceResult skipped = result_ok("a", "7");
  skipped.status = ResourceStatus::Skipped;
  results.push_back(skipped);
  const RunReport report = build_report("web1", std::move(results));
  EXPECT_EQ(report.host, "web1");
  EXPECT_EQ(report.summary.changed, 2u);
  EXPECT_EQ(report.summary.ok, 3u);
  EXPECT_EQ(report.summary.failed, 1u);
  EXPECT_EQ(report.summary.skipped, 1u);
  ASSERT_EQ(report.resources.size(), 7u);
  for (std::size_t i = 0; i < report.resources.size(); ++i) EXPECT_EQ(report.resources[i].name, std::to_string(i + 1));
}

TEST(BuildReport, EmptyListGivesZeroCounts) {
  const RunReport report = build_report("h", {});
  EXPECT_TRUE(report.resources.empty());
  EXPECT_EQ(report.summary.changed, 0u);
  EXPECT_EQ(report.summary.ok, 0u);
  EXPECT_EQ(report.summary.failed, 0u);
  EXPECT_EQ(report.summary.skipped, 0u);
}

ResourceResult full_result() {
  ResourceResult r = result_with_changes(result_changed("cron", "backup", "content"),
                                         {change_create("line", "secret"), change_update("user", "root", "bob"),
                                          change_delete("old", "gone")});
  r.from = "old text";
  r.to = "new text";
  r.output = "printed";
  return r;
}

TEST(RedactResult, ClearFlagChangesNothing) {
  const ResourceResult r = redact_result(full_result(), false);
  const ResourceResult expected = full_result();
  EXPECT_EQ(r.diff, expected.diff);
  EXPECT_EQ(r.from, expected.from);
  EXPECT_EQ(r.to, expected.to);
  EXPECT_EQ(r.output, expected.output);
  ASSERT_EQ(r.changes.size(), 3u);
  EXPECT_EQ(r.changes[0].to, "secret");
}

TEST(RedactResult, SetFlagHidesValues) {
  const ResourceResult r = redact_result(full_result(), true);
  EXPECT_EQ(r.type, "cron");
  EXPECT_EQ(r.name, "backup");
  EXPECT_EQ(r.status, ResourceStatus::Changed);
  EXPECT_EQ(r.diff, "[redacted]");
  EXPECT_FALSE(r.from);
  EXPECT_FALSE(r.to);
  EXPECT_FALSE(r.output);
  EXPECT_FALSE(r.failure_kind);
  ASSERT_EQ(r.changes.size(), 3u);
  struct Expected {
    std::string field;
    ChangeAction action;
    std::optional<std::string> from, to;
  } expected[] = {
      {"line", ChangeAction::Create, std::nullopt, "[redacted]"},
      {"user", ChangeAction::Update, "[redacted]", "[redacted]"},
      {"old", ChangeAction::Delete, "[redacted]", std::nullopt},
  };
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(r.changes[i].field, expected[i].field);
    EXPECT_EQ(r.changes[i].action, expected[i].action);
    EXPECT_EQ(r.changes[i].from, expected[i].from);
    EXPECT_EQ(r.changes[i].to, expected[i].to);
  }
}

TEST(RedactResult, EdgeCases) {
  // No diff stays no diff; an empty diff is still a diff.
  EXPECT_FALSE(redact_result(result_ok("a", "b"), true).diff);
  EXPECT_EQ(redact_result(result_changed("a", "b", ""), true).diff, "[redacted]");
  // The error text is kept whole.
  const ResourceResult failed = redact_result(result_failed("cmd", "x", "password=hunter2 rejected"), true);
  EXPECT_EQ(failed.error, "password=hunter2 rejected");
  EXPECT_FALSE(failed.diff);
  EXPECT_EQ(failed.status, ResourceStatus::Failed);
}

TEST(SummaryExitStatus, Rule) {
  struct Case {
    RunSummary summary;  // changed, ok, failed, skipped
    int status;
  } cases[] = {
      {{0, 0, 0, 0}, 1}, {{0, 3, 0, 0}, 1}, {{0, 0, 0, 2}, 1}, {{1, 2, 0, 4}, 0}, {{5, 0, 0, 0}, 0},
      {{0, 1, 1, 0}, 2}, {{1, 0, 1, 0}, 2}, {{0, 0, 1, 3}, 3}, {{0, 0, 2, 0}, 3},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(summary_exit_status(c.summary), c.status)
        << c.summary.changed << " " << c.summary.ok << " " << c.summary.failed << " " << c.summary.skipped;
  }
}

}  // namespace
}  // namespace toln
