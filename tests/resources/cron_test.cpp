#include "resources/cron.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "harness/sandbox.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using namespace toln::testing;

const std::string kHeader = "# Managed by toln \u2014 do not edit manually\n";

TEST(CronSchedule, FieldsAndMaxima) {
  const struct {
    std::string schedule;
    std::string error;  // "" when valid
  } cases[] = {
      {"*/5 * * * *", ""},
      {"0 0 0 0 0", ""},
      {"59 23 31 12 7", ""},
      {"1,2,3-5 */2 1-31/3 * 0-7", ""},
      {"  0 0 * * *  ", ""},
      {"0\t0 * * *", ""},
      {"5* * * * *", ""},
      {"0007 * * * *", ""},
      {"*/60 * * * *", "cron schedule field '*/60' value 60 exceeds maximum 59"},
      {"0 24 * * *", "cron schedule field '24' value 24 exceeds maximum 23"},
      {"* * 32 * *", "cron schedule field '32' value 32 exceeds maximum 31"},
      {"* * * 1-13 *", "cron schedule field '1-13' value 13 exceeds maximum 12"},
      {"* * * * 8", "cron schedule field '8' value 8 exceeds maximum 7"},
      {"* * * * 99999999999", "cron schedule field '99999999999' value 99999999999 exceeds maximum 7"},
      {"@daily", "cron schedule '@daily' must have exactly 5 fields (minute hour dom month weekday)"},
      {"* * * * * *", "cron schedule '* * * * * *' must have exactly 5 fields (minute hour dom month weekday)"},
      {"", "cron schedule '' must have exactly 5 fields (minute hour dom month weekday)"},
      {"* * * * mon", "cron schedule field 'mon' contains invalid characters"},
      {"* * * * *\n* * * * * root evil", "cron schedule must not contain newlines"},
      {"* * * * *\r", "cron schedule contains a control character (0xd); newlines and control characters are not allowed"},
      {"*\f* * * *", "cron schedule contains a control character (0xc); newlines and control characters are not allowed"},
      {"* * * * *\u00a0", "cron schedule field '*\u00a0' contains invalid characters"},
      {"0\u20283 * * * *", "cron schedule field '0\u20283' contains invalid characters"},
  };
  for (const auto& c : cases) {
    auto checked = validate_cron_schedule(c.schedule);
    EXPECT_EQ(checked ? "" : checked.error().message(), c.error) << c.schedule;
  }
}

TEST(CronChecks, ControlCharactersAndWords) {
  EXPECT_TRUE(check_cron_command("echo a\tb"));
  EXPECT_EQ(check_cron_command("echo a\rb").error().message(),
            "cron command contains a control character (0xd); newlines and control characters are not allowed (use "
            "a script file for multi-line commands)");
  EXPECT_EQ(check_cron_command("a\u0085").error().message().substr(0, 50),
            "cron command contains a control character (0x85); ");
  EXPECT_EQ(check_cron_field("mailto", "a\tb").error().message(),
            "cron mailto contains a control character (0x9); newlines and control characters are not allowed");
  EXPECT_EQ(check_cron_field("env value", std::string("a\0b", 3)).error().message(),
            "cron env value contains a control character (0x0); newlines and control characters are not allowed");
  EXPECT_EQ(check_cron_field("user", "x\x7f").error().message(),
            "cron user contains a control character (0x7f); newlines and control characters are not allowed");
  EXPECT_TRUE(check_cron_field("mailto", "ops@example.com, x"));
  for (const std::string word : {"", "two words", "a=b", "nb\u00a0sp"}) {
    EXPECT_EQ(check_cron_word("user", word).error().message(),
              "cron user '" + word + "' must not be empty or contain white space or '='");
  }
  EXPECT_TRUE(check_cron_word("env key", "PATH"));
}

TEST(CronRender, Layout) {
  const std::vector<CronJob> one = {{"0 3 * * *", "/usr/local/bin/backup"}};
  EXPECT_EQ(render_cron_file("root", one, std::nullopt, nullptr), kHeader + "0 3 * * *  root  /usr/local/bin/backup\n");
  EXPECT_EQ(kHeader.size(), 43u);
  TomlTable env = {{"Z", text("last")}, {"A_VAR", text("x=y z")}, {"NUM", integer(3)}};
  const std::vector<CronJob> two = {{"*/5\t* * * *", "a"}, {"0 0 1 * *", "b"}};
  EXPECT_EQ(render_cron_file("app", two, "ops@example.com", &env),
            kHeader + "MAILTO=ops@example.com\nA_VAR=x=y z\nZ=last\n\n*/5\t* * * *  app  a\n0 0 1 * *  app  b\n");
  EXPECT_EQ(render_cron_file("root", one, "", nullptr), kHeader + "MAILTO=\n\n0 3 * * *  root  /usr/local/bin/backup\n");
  TomlTable only_integer = {{"N", integer(1)}};
  EXPECT_EQ(render_cron_file("root", one, std::nullopt, &only_integer),
            kHeader + "\n0 3 * * *  root  /usr/local/bin/backup\n");
  TomlTable empty;
  EXPECT_EQ(render_cron_file("root", one, std::nullopt, &empty), kHeader + "0 3 * * *  root  /usr/local/bin/backup\n");
}

// /etc is the sandbox's overlay: writes land in its upper layer.
bool etc_is_overlay() {
  const auto mounts = read_file("/proc/self/mounts").value_or("");
  return mounts.find(" /etc overlay ") != std::string::npos;
}

class CronResource : public ::testing::Test {
 protected:
  void SetUp() override { TOLN_REQUIRE_SANDBOX(); }
  // Runs body against the overlaid /etc, with /etc/cron.d present.
  void in_sandbox(const std::function<void()>& body) {
    sandbox.run_in_process([&] {
      ASSERT_TRUE(etc_is_overlay());
      fs::create_directories("/etc/cron.d");
      ::umask(022);
      body();
    });
  }
  Sandbox sandbox;
};

ResolvedResource cron(std::string name, TomlTable props) { return make_resource("cron", std::move(name), std::move(props)); }

TomlTable job(std::string schedule, std::string command) {
  return {{"schedule", text(std::move(schedule))}, {"command", text(std::move(command))}};
}

TEST_F(CronResource, ValidationComesBeforeAnyWrite) {
  const TomlTable base = {{"user", text("root")}, {"schedule", text("0 3 * * *")}, {"command", text("backup")}};
  const auto with = [&](TomlTable changes, std::vector<std::string> drop = {}) {
    TomlTable props = base;
    for (auto& [key, value] : changes) props[key] = value;
    for (const auto& key : drop) props.erase(key);
    return props;
  };
  const struct {
    std::string name;
    TomlTable props;
    std::string error;
  } cases[] = {
      {"backup.daily", base, "cron name 'backup.daily' contains invalid characters (allowed: [a-zA-Z0-9_-])"},
      {"", base, "cron name cannot be empty"},
      {"t", with({{"state", text("Absent")}}, {"user"}), "cron resource requires 'user'"},
      {"t", with({{"user", integer(0)}}), "cron resource requires 'user'"},
      {"t", with({{"user", text("root\n* * * * * root evil")}}),
       "cron user contains a control character (0xa); newlines and control characters are not allowed"},
      {"t", with({{"user", text("root  /bin/evil")}}),
       "cron user 'root  /bin/evil' must not be empty or contain white space or '='"},
      {"t", with({{"user", text("A=b")}}), "cron user 'A=b' must not be empty or contain white space or '='"},
      {"t", with({{"user", text("")}}), "cron user '' must not be empty or contain white space or '='"},
      {"t", with({{"mailto", text("a\nb")}}),
       "cron mailto contains a control character (0xa); newlines and control characters are not allowed"},
      {"t", with({{"env", TomlValue{TomlTable{{"* * * * * root evil #", text("x")}}}}}),
       "cron env key '* * * * * root evil #' must not be empty or contain white space or '='"},
      {"t", with({{"env", TomlValue{TomlTable{{"A=B", text("x")}}}}}),
       "cron env key 'A=B' must not be empty or contain white space or '='"},
      {"t", with({{"env", TomlValue{TomlTable{{"A", text("x\ny")}}}}}),
       "cron env value contains a control character (0xa); newlines and control characters are not allowed"},
      {"t", with({{"env", TomlValue{TomlTable{{"A\tB", integer(1)}}}}}),
       "cron env key contains a control character (0x9); newlines and control characters are not allowed"},
      {"t", with({{"jobs", integer(1)}}, {"schedule"}),
       "cron resource must use either 'jobs' (multi-job) or 'schedule'+'command' (single-job), not both"},
      {"t", with({}, {"schedule", "command"}),
       "cron resource requires 'jobs' (multi-job) or 'schedule'+'command' (single-job)"},
      {"t", with({{"jobs", text("x")}}, {"schedule", "command"}), "cron 'jobs' must be an array of tables"},
      {"t", with({{"jobs", TomlValue{TomlArray{}}}}, {"schedule", "command"}), "cron 'jobs' array must not be empty"},
      {"t", with({{"jobs", TomlValue{TomlArray{TomlValue{job("* * * * *", "a")}, text("b")}}}}, {"schedule", "command"}),
       "cron 'jobs[1]' must be a table"},
      {"t", with({{"jobs", TomlValue{TomlArray{TomlValue{TomlTable{{"command", text("a")}}}}}}}, {"schedule", "command"}),
       "cron 'jobs[0]' requires 'schedule'"},
      {"t", with({{"jobs", TomlValue{TomlArray{TomlValue{TomlTable{{"schedule", text("* * * * *")}}}}}}},
                 {"schedule", "command"}),
       "cron 'jobs[0]' requires 'command'"},
      {"t", with({{"jobs", TomlValue{TomlArray{TomlValue{job("* * * * *", "a\rb")}}}}}, {"schedule", "command"}),
       "cron command contains a control character (0xd); newlines and control characters are not allowed (use a "
       "script file for multi-line commands)"},
      {"t", with({{"schedule", integer(1)}}),
       "cron single-job form requires both 'schedule' and 'command'"},
      {"t", with({{"schedule", text("0 24 * * *")}}), "cron schedule field '24' value 24 exceeds maximum 23"},
      {"t", with({{"command", text("a\nb")}}),
       "cron command contains a control character (0xa); newlines and control characters are not allowed (use a "
       "script file for multi-line commands)"},
  };
  in_sandbox([&] {
    for (const auto& c : cases) {
      EXPECT_EQ(error_of(apply_cron(cron(c.name, c.props), false)), "resource error: " + c.error);
    }
    EXPECT_FALSE(fs::exists("/etc/cron.d/t"));
  });
  EXPECT_FALSE(sandbox.read_upper("/etc/cron.d/t"));
  EXPECT_FALSE(sandbox.read_upper("/etc/cron.d/backup.daily"));
}

TEST_F(CronResource, WritesRewritesFixesModeAndRemoves) {
  const std::string path = "/etc/cron.d/toln-test_db-2";
  const TomlTable props = {{"user", text("postgres")},
                           {"mailto", text("")},
                           {"jobs", TomlValue{TomlArray{TomlValue{job("0\t2 * * *", "pg_dump db > /srv/db.sql")},
                                                        TomlValue{job("*/15 * * * *", "vacuum")}}}}};
  const std::string expected =
      kHeader + "MAILTO=\n\n0\t2 * * *  postgres  pg_dump db > /srv/db.sql\n*/15 * * * *  postgres  vacuum\n";
  const auto resource = cron("toln-test_db-2", props);
  in_sandbox([&] {
    const auto dry = apply_cron(resource, true);
    ASSERT_TRUE(dry) << error_of(dry);
    EXPECT_EQ(dry->diff, "would write " + path);
    EXPECT_FALSE(dry->from);
    EXPECT_EQ(dry->to, expected);
    EXPECT_FALSE(fs::exists(path));

    const auto first = apply_cron(resource, false);
    ASSERT_TRUE(first) << error_of(first);
    EXPECT_EQ(first->status, ResourceStatus::Changed);
    EXPECT_EQ(first->diff, "wrote " + path);
    EXPECT_FALSE(first->from);
    EXPECT_EQ(first->to, expected);
    EXPECT_TRUE(first->changes.empty());
    EXPECT_EQ(mode_of(path), 0644u);

    const auto second = apply_cron(resource, false);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->status, ResourceStatus::Ok);
    EXPECT_FALSE(second->from);

    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    EXPECT_EQ(apply_cron(resource, true)->diff, "would fix mode on " + path);
    EXPECT_EQ(mode_of(path), 0600u);
    const auto fixed = apply_cron(resource, false);
    EXPECT_EQ(fixed->diff, "fixed mode on " + path);
    EXPECT_EQ(fixed->from, expected);
    EXPECT_EQ(fixed->to, expected);
    EXPECT_EQ(mode_of(path), 0644u);

    write_file(path, "edited by hand\n", 0600);
    const auto rewritten = apply_cron(resource, false);
    EXPECT_EQ(rewritten->diff, "wrote " + path);
    EXPECT_EQ(rewritten->from, "edited by hand\n");
    EXPECT_EQ(mode_of(path), 0644u);

    const auto absent = cron("toln-test_db-2", {{"state", text("absent")}});
    const auto would_remove = apply_cron(absent, true);
    EXPECT_EQ(would_remove->diff, "would remove " + path);
    EXPECT_EQ(would_remove->from, expected);
    EXPECT_FALSE(would_remove->to);
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(apply_cron(absent, false)->diff, "removed " + path);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(apply_cron(absent, false)->status, ResourceStatus::Ok);
  });
  EXPECT_FALSE(sandbox.read_upper(path));
}

TEST_F(CronResource, UnreadableFiles) {
  const std::string path = "/etc/cron.d/toln-test-binary";
  in_sandbox([&] {
    write_file(path, "\xff\n");
    const auto present = cron("toln-test-binary", {{"user", text("root")}, {"schedule", text("* * * * *")}, {"command", text("x")}});
    EXPECT_EQ(error_of(apply_cron(present, false)),
              "resource error: failed to read " + path + ": stream did not contain valid UTF-8");
    EXPECT_EQ(read_file(path), "\xff\n");
    const auto removed = apply_cron(cron("toln-test-binary", {{"state", text("absent")}}), false);
    ASSERT_TRUE(removed);
    EXPECT_EQ(removed->diff, "removed " + path);
    EXPECT_FALSE(removed->from);
    EXPECT_FALSE(fs::exists(path));
  });
}

}  // namespace
}  // namespace toln
