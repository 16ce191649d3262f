// The five host-setting types through the agent binary: a dry-run, a real
// run and a second run that finds nothing to do, all against fakes.
#include <gtest/gtest.h>

#include <fstream>

#include "harness/sandbox.hpp"
#include "host/sha256.hpp"

namespace toln {
namespace {

using testing::RunResult;
using testing::Sandbox;

class HostSettingsBundle : public ::testing::Test {
 protected:
  void SetUp() override {
    TOLN_REQUIRE_SANDBOX();
    sandbox.add_fake("mountpoint", R"(grep -qxF -- "$2" "$TOLN_FAKE_STATE/mounts" 2>/dev/null)");
    sandbox.add_fake("mount", R"(printf '%s\n' "$1" >> "$TOLN_FAKE_STATE/mounts")");
    sandbox.add_fake("sysctl", R"(case "$1" in
  -n) cat "$TOLN_FAKE_STATE/$2" ;;
  -w) printf '%s\n' "${2#*=}" > "$TOLN_FAKE_STATE/${2%%=*}" ;;
esac)");
    sandbox.add_fake("hostnamectl", R"(printf '%s\n' "$2" > /etc/hostname)");
    sandbox.add_fake("timedatectl", R"(case "$1" in
  show) cat "$TOLN_FAKE_STATE/zone" ;;
  set-timezone) printf '%s\n' "$2" > "$TOLN_FAKE_STATE/zone" ;;
esac)");
    sandbox.add_fake("docker", R"(case "$4" in
  ps) [ -e "$TOLN_FAKE_STATE/running" ] && echo 3f2a1b4c5d6e ;;
  up) : > "$TOLN_FAKE_STATE/running" ;;
esac
exit 0)");
    std::ofstream(sandbox.state_dir() / "net.ipv4.ip_forward") << "0\n";
    std::ofstream(sandbox.state_dir() / "zone") << "Etc/UTC\n";
    sandbox.write_upper("/etc/fstab", "# <file system> <mount point> <type> <options> <dump> <pass>\n");
    sandbox.write_upper("/etc/hostname", "localhost\n");
    sandbox.whiteout("/etc/sysctl.d/99-toln.conf");
  }

  std::string bundle() const {
    return R"(host = "web-01"

[[resources]]
resource_type = "mount"
name = "data-disk"
props = { device = "LABEL=data", path = "/srv/data", fstype = "ext4", options = "defaults,nofail", pass = "2" }

[[resources]]
resource_type = "sysctl"
name = "ip-forward"
props = { key = "net.ipv4.ip_forward", value = "1", persist = true }

[[resources]]
resource_type = "hostname"
name = "host-name"
props = { hostname = "web-01" }

[[resources]]
resource_type = "timezone"
name = "zone"
props = { timezone = "Europe/Berlin" }

[[resources]]
resource_type = "docker_compose"
name = "app"
[resources.props]
project_dir = ")" + (sandbox.scratch_dir() / "app").string() + R"("
pull = false
content = """
services:
  web:
    image: nginx:1.27
"""
)";
  }

  Sandbox sandbox;
};

TEST_F(HostSettingsBundle, DryRunThenRunThenNothingToDo) {
  const std::string app = (sandbox.scratch_dir() / "app").string();
  const std::string compose = "services:\n  web:\n    image: nginx:1.27\n";
  const std::string stack_json = R"~({"type":"docker_compose","name":"app","status":"changed","diff":"create )~" + app +
                                 R"~(, compose file updated, )~";
  const std::string stack_changes = R"~(","changes":[{"field":"project_dir","action":"create","to":")~" + app +
                                    R"~("},{"field":"compose_file","action":"create","to":")~" +
                                    content_digest(compose) + R"~("},{"field":"stack","action":"create"}]},)~";
  const std::string others =
      R"~({"type":"hostname","name":"host-name","status":"changed","diff":"hostname localhost -> web-01"},)~"
      R"~({"type":"mount","name":"data-disk","status":"changed","diff":"fstab entry for /srv/data, mount /srv/data"},)~"
      R"~({"type":"sysctl","name":"ip-forward","status":"changed","diff":"net.ipv4.ip_forward: 0 → 1, persist net.ipv4.ip_forward in /etc/sysctl.d/99-toln.conf"},)~"
      R"~({"type":"timezone","name":"zone","status":"changed","diff":"timezone Etc/UTC -> Europe/Berlin"}],)~"
      R"~("summary":{"changed":5,"ok":0,"failed":0,"skipped":0}})~"
      "\n";

  const RunResult dry = sandbox.run_agent({"--dry-run"}, bundle());
  EXPECT_EQ(dry.exit_status, 0) << dry.err;
  EXPECT_EQ(dry.out, R"~({"host":"web-01","resources":[)~" + stack_json + "would start (containers not running)" +
                         stack_changes + others);
  EXPECT_EQ(sandbox.read_upper("/etc/fstab"), "# <file system> <mount point> <type> <options> <dump> <pass>\n");
  EXPECT_FALSE(std::filesystem::exists(app));

  const RunResult run = sandbox.run_agent({}, bundle());
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.out, R"~({"host":"web-01","resources":[)~" + stack_json + "containers not running, started" +
                         stack_changes + others);
  EXPECT_EQ(sandbox.read_upper("/etc/fstab"),
            "# <file system> <mount point> <type> <options> <dump> <pass>\n"
            "LABEL=data\t/srv/data\text4\tdefaults,nofail\t0\t2\n");
  EXPECT_EQ(sandbox.read_upper("/etc/sysctl.d/99-toln.conf"), "net.ipv4.ip_forward = 1\n");
  EXPECT_EQ(sandbox.read_upper("/etc/hostname"), "web-01\n");

  const RunResult again = sandbox.run_agent({}, bundle());
  EXPECT_EQ(again.exit_status, 1) << again.err;
  EXPECT_EQ(again.out,
            R"~({"host":"web-01","resources":[{"type":"docker_compose","name":"app","status":"ok"},)~"
            R"~({"type":"hostname","name":"host-name","status":"ok"},{"type":"mount","name":"data-disk","status":"ok"},)~"
            R"~({"type":"sysctl","name":"ip-forward","status":"ok"},{"type":"timezone","name":"zone","status":"ok"}],)~"
            R"~("summary":{"changed":0,"ok":5,"failed":0,"skipped":0}})~"
            "\n");
}

}  // namespace
}  // namespace toln
