#include "engine/notify.hpp"

#include <gtest/gtest.h>

#include "harness/sandbox.hpp"

namespace toln {
namespace {

TEST(NotifyTargets, ParseAndLabel) {
  struct Case {
    std::string text;
    NotifyTarget::Kind kind;
    std::string carried;
    std::string type;
    std::string name;
  } cases[] = {
      {"daemon-reload", NotifyTarget::DaemonReload, "", "service", "systemd daemon-reload"},
      {"nginx", NotifyTarget::Restart, "nginx", "service", "nginx (restart)"},
      {"getty@tty1.service", NotifyTarget::Restart, "getty@tty1.service", "service", "getty@tty1.service (restart)"},
      {"restart:", NotifyTarget::Restart, "", "service", " (restart)"},
      {"reload:nginx", NotifyTarget::Reload, "nginx", "service", "nginx (reload)"},
      {"docker:/srv/app", NotifyTarget::DockerRestart, "/srv/app", "docker_compose", "/srv/app (restart)"},
      {"docker-restart:/srv/app", NotifyTarget::DockerRestart, "/srv/app", "docker_compose", "/srv/app (restart)"},
      {"docker-up:/srv/app", NotifyTarget::DockerUp, "/srv/app", "docker_compose", "/srv/app (up)"},
      {"Restart:nginx", NotifyTarget::Unknown, "Restart:nginx", "notify", "Restart:nginx (notify)"},
      {" nginx", NotifyTarget::Unknown, " nginx", "notify", " nginx (notify)"},
      {"file./etc/x", NotifyTarget::Unknown, "file./etc/x", "notify", "file./etc/x (notify)"},
      {"cmd.reload", NotifyTarget::Restart, "cmd.reload", "service", "cmd.reload (restart)"},
  };
  for (const auto& c : cases) {
    const NotifyTarget target = parse_notify_target(c.text);
    EXPECT_EQ(target.kind, c.kind) << c.text;
    EXPECT_EQ(target.text, c.carried) << c.text;
    EXPECT_EQ(notify_result_label(c.text), std::make_pair(c.type, c.name)) << c.text;
  }
}

TEST(NotifyTargets, UnitNamesAreUnicodeLettersAndNumbers) {
  EXPECT_TRUE(is_unit_name("nginx-1.service"));
  EXPECT_TRUE(is_unit_name("caf\xC3\xA9"));           // é
  EXPECT_TRUE(is_unit_name("\xD9\xA3"));              // Arabic-Indic digit three (Nd)
  EXPECT_TRUE(is_unit_name("\xE2\x85\xA0"));          // Roman numeral one (Nl)
  EXPECT_TRUE(is_unit_name("\xC2\xBD"));              // vulgar fraction one half (No)
  EXPECT_FALSE(is_unit_name(""));
  EXPECT_FALSE(is_unit_name("a b"));
  EXPECT_FALSE(is_unit_name("a/b"));
  EXPECT_FALSE(is_unit_name("a:b"));
  EXPECT_FALSE(is_unit_name("a+b"));
}

// run_notify_target starts systemctl or docker once its checks pass, so these
// run in the sandbox, where a regressed check reaches only a recording fake.
class NotifyRuns : public ::testing::Test {
 protected:
  void SetUp() override { TOLN_REQUIRE_SANDBOX(); }
  void TearDown() override { EXPECT_EQ(sandbox.invocations(), std::vector<testing::Invocation>{}); }
  testing::Sandbox sandbox;
};

TEST_F(NotifyRuns, ChecksApplyInDryRunToo) {
  sandbox.run_in_process([] {
    struct Case {
      std::string text;
      std::string error;
    } cases[] = {
        {"restart:", "invalid service name: "},
        {"restart:a b", "invalid service name: a b"},
        {"reload:a/b", "invalid service name: a/b"},
        {"restart:-Hroot@host", "invalid service name: -Hroot@host"},
        {"-Hroot@host", "invalid service name: -Hroot@host"},
        {"docker:", "docker path must be absolute (start with /): "},
        {"docker-up:srv/app", "docker path must be absolute (start with /): srv/app"},
    };
    for (const auto& c : cases) {
      for (bool dry_run : {true, false}) {
        const ResourceResult result = run_notify_target(c.text, dry_run);
        EXPECT_EQ(result.status, ResourceStatus::Failed) << c.text;
        EXPECT_EQ(result.error, c.error) << c.text;
        EXPECT_FALSE(result.diff);
      }
    }
  });
}

TEST_F(NotifyRuns, DryRunSaysWhatWouldRun) {
  sandbox.run_in_process([] {
    for (const std::string text : {"daemon-reload", "nginx", "docker-up:/srv/app", "Weird text"}) {
      const ResourceResult result = run_notify_target(text, true);
      EXPECT_EQ(result.status, ResourceStatus::Changed);
      EXPECT_EQ(result.diff, "would run: " + text);
    }
  });
}

TEST_F(NotifyRuns, UnknownTargetFailsWithoutRunningAnything) {
  sandbox.run_in_process([] {
    const ResourceResult result = run_notify_target("Restart:nginx", false);
    EXPECT_EQ(result.status, ResourceStatus::Failed);
    EXPECT_EQ(result.error, "notify failed: unknown notify target: Restart:nginx");
  });
}

}  // namespace
}  // namespace toln
