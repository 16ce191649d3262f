#include "model/report_json.hpp"

#include <gtest/gtest.h>

namespace toln {
namespace {

std::string compact(const RunReport& report) {
  std::string out;
  EXPECT_TRUE(serialize_run_report(report, out).ok());
  return out;
}

std::string compact_entry(const ResourceResult& result) {
  const std::string text = compact(build_report("h", {result}));
  const std::string head = "{\"host\":\"h\",\"resources\":[";
  const std::size_t tail = text.rfind("],\"summary\":");
  EXPECT_EQ(text.substr(0, head.size()), head);
  return text.substr(head.size(), tail - head.size());
}

std::string value_entry(const ResourceResult& result) { return serialize_resource_result(result).dump(); }

ResourceResult with_everything() {
  ResourceResult r = result_with_changes(result_changed("cron", "backup", "content"),
                                         {change_create("line", "x"), change_update("user", "a", "b"),
                                          change_delete("old", "y")});
  r.from = "f";
  r.to = "t";
  r.error = "e";
  r.output = "o";
  r.failure_kind = "k";
  return r;
}

TEST(ReportJson, EmptyReport) {
  EXPECT_EQ(compact(build_report("h", {})),
            R"({"host":"h","resources":[],"summary":{"changed":0,"ok":0,"failed":0,"skipped":0}})");
  EXPECT_EQ(serialize_run_report(build_report("h", {})).dump(),
            R"({"host":"h","resources":[],"summary":{"changed":0,"failed":0,"ok":0,"skipped":0}})");
}

TEST(ReportJson, AppendsToTheBuffer) {
  std::string out = "before:";
  ASSERT_TRUE(serialize_run_report(build_report("h", {}), out).ok());
  EXPECT_EQ(out.substr(0, 8), "before:{");
}

TEST(ReportJson, EntriesInBothForms) {
  ResourceResult skipped = result_ok("file", "s");
  skipped.status = ResourceStatus::Skipped;
  skipped.error = "dependency failed";
  struct Case {
    ResourceResult result;
    std::string compact;
    std::string value;
  } cases[] = {
      {result_ok("file", "/etc/motd"), R"({"type":"file","name":"/etc/motd","status":"ok"})",
       R"({"name":"/etc/motd","status":"ok","type":"file"})"},
      {result_changed("pkg", "web", "+nginx"), R"({"type":"pkg","name":"web","status":"changed","diff":"+nginx"})",
       R"({"diff":"+nginx","name":"web","status":"changed","type":"pkg"})"},
      {result_failed("cmd", "x", "boom"), R"({"type":"cmd","name":"x","status":"failed","error":"boom"})",
       R"({"error":"boom","name":"x","status":"failed","type":"cmd"})"},
      {skipped, R"({"type":"file","name":"s","status":"skipped","error":"dependency failed"})",
       R"({"error":"dependency failed","name":"s","status":"skipped","type":"file"})"},
      {result_with_changes(result_changed("file", "f", "content"), {}),
       R"({"type":"file","name":"f","status":"changed","diff":"content"})",
       R"({"diff":"content","name":"f","status":"changed","type":"file"})"},
      {result_with_changes(result_changed("file", "f", "mode"), {change_update("mode", "0644", "0600")}),
       R"({"type":"file","name":"f","status":"changed","diff":"mode","changes":[{"field":"mode","action":"update","from":"0644","to":"0600"}]})",
       R"({"changes":[{"action":"update","field":"mode","from":"0644","to":"0600"}],"diff":"mode","name":"f","status":"changed","type":"file"})"},
      {with_everything(),
       R"({"type":"cron","name":"backup","status":"changed","diff":"content","from":"f","to":"t","error":"e","output":"o",)"
       R"("changes":[{"field":"line","action":"create","to":"x"},{"field":"user","action":"update","from":"a","to":"b"},)"
       R"({"field":"old","action":"delete","from":"y"}],"failure_kind":"k"})",
       R"({"changes":[{"action":"create","field":"line","to":"x"},{"action":"update","field":"user","from":"a","to":"b"},)"
       R"({"action":"delete","field":"old","from":"y"}],"diff":"content","error":"e","failure_kind":"k","from":"f",)"
       R"("name":"backup","output":"o","status":"changed","to":"t","type":"cron"})"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(compact_entry(c.result), c.compact);
    EXPECT_EQ(value_entry(c.result), c.value);
  }
}

TEST(ReportJson, WholeReportWithCounts) {
  const RunReport report =
      build_report("web-1", {result_ok("a", "1"), result_changed("b", "2", "d"), result_failed("c", "3", "e")});
  EXPECT_EQ(compact(report),
            R"({"host":"web-1","resources":[{"type":"a","name":"1","status":"ok"},)"
            R"({"type":"b","name":"2","status":"changed","diff":"d"},{"type":"c","name":"3","status":"failed","error":"e"}],)"
            R"("summary":{"changed":1,"ok":1,"failed":1,"skipped":0}})");
  EXPECT_EQ(serialize_run_report(report).dump(),
            R"({"host":"web-1","resources":[{"name":"1","status":"ok","type":"a"},)"
            R"({"diff":"d","name":"2","status":"changed","type":"b"},{"error":"e","name":"3","status":"failed","type":"c"}],)"
            R"("summary":{"changed":1,"failed":1,"ok":1,"skipped":0}})");
}

TEST(ReportJson, LargeCountsAreWrittenInDecimal) {
  RunReport report = build_report("h", {});
  report.summary = {18446744073709551615u, 1, 0, 42};
  EXPECT_EQ(compact(report),
            R"({"host":"h","resources":[],"summary":{"changed":18446744073709551615,"ok":1,"failed":0,"skipped":42}})");
}

TEST(ReportJson, TextsAreEscaped) {
  struct Case {
    std::string name;
    std::string json;
  } cases[] = {
      {"a\"b", R"("a\"b")"},
      {"a\\b", R"("a\\b")"},
      {"line1\nline2", R"("line1\nline2")"},
      {"tab\there\r", R"("tab\there\r")"},
      {std::string("nul\0", 4), R"("nul\u0000")"},
      {"\x01\x1f", R"("\u0001\u001f")"},
      {"\b\f\x7f", "\"\\b\\f\x7f\""},
      {"caf\xC3\xA9 \xE2\x86\x92", "\"caf\xC3\xA9 \xE2\x86\x92\""},
      {"/etc/x", R"("/etc/x")"},
  };
  for (const auto& c : cases) {
    const std::string expected = R"({"type":"file","name":)" + c.json + R"(,"status":"ok"})";
    EXPECT_EQ(compact_entry(result_ok("file", c.name)), expected);
    const std::string line = compact(build_report(c.name, {}));
    EXPECT_EQ(line.find('\n'), std::string::npos);
  }
}

TEST(ReportJson, InvalidUtf8DoesNotThrow) {
  const ResourceResult r = result_changed("cmd", "bad\xFF", "out\xC3");
  std::string out;
  Status status = Status();
  EXPECT_NO_THROW(status = serialize_run_report(build_report("h\xFE", {r}), out));
  EXPECT_TRUE(status.ok());
  EXPECT_EQ(out,
            "{\"host\":\"h\xEF\xBF\xBD\",\"resources\":[{\"type\":\"cmd\",\"name\":\"bad\xEF\xBF\xBD\",\"status\":"
            "\"changed\",\"diff\":\"out\xEF\xBF\xBD\"}],\"summary\":{\"changed\":1,\"ok\":0,\"failed\":0,\"skipped\":0}}");
  // The value form holds the bytes; dumping with replacement does not throw.
  const nlohmann::json value = serialize_run_report(build_report("h\xFE", {r}));
  EXPECT_NO_THROW((void)value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
}

TEST(ReportJson, EnumerationTexts) {
  EXPECT_EQ(serialize_resource_status(ResourceStatus::Ok), "ok");
  EXPECT_EQ(serialize_resource_status(ResourceStatus::Changed), "changed");
  EXPECT_EQ(serialize_resource_status(ResourceStatus::Failed), "failed");
  EXPECT_EQ(serialize_resource_status(ResourceStatus::Skipped), "skipped");
  EXPECT_EQ(serialize_change_action(ChangeAction::Create), "create");
  EXPECT_EQ(serialize_change_action(ChangeAction::Update), "update");
  EXPECT_EQ(serialize_change_action(ChangeAction::Delete), "delete");
}

TEST(ReportJson, ValueFormOfRecords) {
  EXPECT_EQ(serialize_field_change(change_create("content", "x")).dump(),
            R"({"action":"create","field":"content","to":"x"})");
  EXPECT_EQ(serialize_field_change(change_delete("content", "x")).dump(),
            R"({"action":"delete","field":"content","from":"x"})");
  EXPECT_EQ(serialize_run_summary(RunSummary{1, 2, 3, 4}).dump(), R"({"changed":1,"failed":3,"ok":2,"skipped":4})");
  // Counts are unsigned integers in the tree, never floating point.
  EXPECT_TRUE(serialize_run_summary(RunSummary{1, 2, 3, 4})["ok"].is_number_unsigned());
}

}  // namespace
}  // namespace toln
