// The engine end to end: the real binary in the sandbox, with cmd resources
// and fake systemctl and docker for the notify targets.
#include <gtest/gtest.h>

#include <fstream>

#include "harness/sandbox.hpp"

namespace toln {
namespace {

using testing::Invocation;
using testing::RunResult;
using testing::Sandbox;

class Engine : public ::testing::Test {
 protected:
  void SetUp() override {
    TOLN_REQUIRE_SANDBOX();
    sandbox.add_fake("systemctl", R"~(case "$2" in missing.service) echo "Unit missing.service not found." >&2; exit 5;; esac)~");
    sandbox.add_fake("docker", "exit 0");
  }
  RunResult run(const std::string& bundle, std::vector<std::string> args = {}) {
    return sandbox.run_agent(args, "host = \"h\"\n" + bundle);
  }
  Sandbox sandbox;
};

std::string cmd(const std::string& name, const std::string& props, const std::string& extra = "") {
  return "[[resources]]\nresource_type = \"cmd\"\nname = \"" + name + "\"\n" + extra + "props = " + props + "\n";
}

TEST_F(Engine, EmptyBundle) {
  const RunResult result = sandbox.run_agent({}, "host = \"web-01\"\nresources = []\n");
  EXPECT_EQ(result.out, "{\"host\":\"web-01\",\"resources\":[],\"summary\":{\"changed\":0,\"ok\":0,\"failed\":0,\"skipped\":0}}\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_status, 1);
}

TEST_F(Engine, RegistersHandlersTargetsAndRedaction) {
  const std::string bundle =
      cmd("secret", R"~({ command = "echo s3cr3t" })~", "register = \"token\"\nsensitive = true\n") +
      cmd("use", R"~({ command = "printf '%s' __TOLN_REG_token__TOLN_END__ > used", unless = "false" })~",
          "after = [\"cmd.secret\"]\nnotify = [\"cmd.on-change\", \"nginx\", \"cmd.on-change\", \"nginx\", "
          "\"docker-up:/srv/app\", \"reload:missing.service\"]\n") +
      cmd("on-change", R"~({ command = "echo handled" })~", "handler = true\n") +
      cmd("never-notified", R"~({ command = "touch never" })~", "handler = true\n");
  const RunResult result = run(bundle);
  EXPECT_EQ(result.out,
            R"~({"host":"h","resources":[)~"
            R"~({"type":"cmd","name":"secret","status":"changed"},)~"
            R"~({"type":"cmd","name":"use","status":"changed"},)~"
            R"~({"type":"cmd","name":"on-change (handler)","status":"changed"},)~"
            R"~({"type":"service","name":"nginx (restart)","status":"changed","diff":"executed: nginx"},)~"
            R"~({"type":"docker_compose","name":"/srv/app (up)","status":"changed","diff":"executed: docker-up:/srv/app"},)~"
            R"~({"type":"service","name":"missing.service (reload)","status":"failed","error":"notify failed: Unit missing.service not found.\n"}],)~"
            R"~("summary":{"changed":5,"ok":0,"failed":1,"skipped":0}})~"
            "\n");
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_EQ(std::filesystem::exists(sandbox.scratch_dir() / "never"), false);
  std::ifstream used(sandbox.scratch_dir() / "used");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(used), {}), "s3cr3t") << "the register holds the output in clear";
  EXPECT_EQ(sandbox.invocations(),
            (std::vector<Invocation>{{"systemctl", "restart", "nginx"},
                                     {"docker", "compose", "-f", "/srv/app/docker-compose.yml", "up", "-d"},
                                     {"systemctl", "reload", "missing.service"}}));
}

TEST_F(Engine, SensitiveEntriesAreRedactedButErrorsKept) {
  const RunResult result =
      run(cmd("a", R"~({ command = "echo visible" })~", "register = \"r\"\nsensitive = true\n") +
          cmd("b", R"~({ command = "echo oops >&2; exit 1" })~", "register = \"r2\"\nsensitive = true\n"));
  EXPECT_EQ(result.out,
            R"~({"host":"h","resources":[{"type":"cmd","name":"a","status":"changed"},)~"
            R"~({"type":"cmd","name":"b","status":"failed","error":"resource error: command failed: oops\n"}],)~"
            R"~("summary":{"changed":1,"ok":0,"failed":1,"skipped":0}})~"
            "\n");
}

TEST_F(Engine, SkipsPassOnButWhenSkipsDoNot) {
  const std::string bundle = "[facts]\nrole = \"web\"\n" +
                             cmd("fails", R"~({ command = "exit 1" })~", "register = \"x\"\n") +
                             cmd("after-fail", R"~({ command = "true", creates = "/" })~", "after = [\"cmd.fails\"]\n") +
                             cmd("after-after", R"~({ command = "true", creates = "/" })~", "after = [\"cmd.after-fail\"]\n") +
                             cmd("not-db", R"~({ command = "true", creates = "/" })~",
                                 "when = \"role == db\"\nafter = [\"cmd.fails\"]\n") +
                             cmd("after-when", R"~({ command = "true", creates = "/" })~", "after = [\"cmd.not-db\"]\n");
  const RunResult result = run(bundle);
  EXPECT_EQ(result.out,
            R"~({"host":"h","resources":[)~"
            R"~({"type":"cmd","name":"fails","status":"failed","error":"resource error: command failed: "},)~"
            R"~({"type":"cmd","name":"after-fail","status":"skipped","error":"dependency failed"},)~"
            R"~({"type":"cmd","name":"not-db","status":"skipped","error":"when: role == db"},)~"
            R"~({"type":"cmd","name":"after-after","status":"skipped","error":"dependency failed"},)~"
            R"~({"type":"cmd","name":"after-when","status":"ok"}],)~"
            R"~("summary":{"changed":0,"ok":1,"failed":1,"skipped":3}})~"
            "\n");
  EXPECT_EQ(result.exit_status, 2);
}

TEST_F(Engine, UnresolvedRegisters) {
  const std::string bundle =
      cmd("producer", R"~({ command = "echo v" })~", "register = \"r\"\nwhen = \"absent\"\n") +
      cmd("consumer", R"~({ command = "echo __TOLN_REG_r__TOLN_END__", unless = "false" })~",
          "notify = [\"nginx\"]\n");
  const RunResult real = run(bundle);
  EXPECT_NE(real.out.find(R"~({"type":"cmd","name":"consumer","status":"failed","error":"unresolved register reference: a referenced register was never set (its producing resource may have been skipped by `when`)"})~"),
            std::string::npos)
      << real.out;
  const RunResult dry = run(bundle, {"--dry-run"});
  EXPECT_NE(dry.out.find(R"~({"type":"cmd","name":"consumer","status":"changed","diff":"register values not available in dry-run"})~"),
            std::string::npos)
      << dry.out;
  EXPECT_EQ(dry.out.find("nginx"), std::string::npos) << "the dry-run placeholder entry notifies nothing";
  EXPECT_EQ(dry.exit_status, 0);
}

TEST_F(Engine, HandlerPhaseOrderingErrorIsOneEntry) {
  const std::string bundle = cmd("a", R"~({ command = "true", unless = "false" })~", "notify = [\"cmd.h\"]\n") +
                             cmd("h", R"~({ command = "true" })~", "handler = true\nafter = [\"cmd.a\"]\n");
  const RunResult result = run(bundle);
  const std::string error =
      "handler dependency error: config error: resource cmd.h depends on unknown resource cmd.a";
  EXPECT_EQ(result.err, error + "\n");
  EXPECT_NE(result.out.find(R"~({"type":"handler","name":"dependency resolution","status":"failed","error":")~" + error + "\"}"),
            std::string::npos)
      << result.out;
}

TEST_F(Engine, HandlersInDryRunAreDispatchedWithPlaceholdersLeft) {
  const std::string bundle = cmd("a", R"~({ command = "true", unless = "false" })~", "notify = [\"cmd.h\"]\n") +
                             cmd("h", R"~({ command = "echo __TOLN_REG_none__TOLN_END__" })~", "handler = true\n");
  const RunResult result = run(bundle, {"--dry-run"});
  EXPECT_NE(result.out.find(R"~({"type":"cmd","name":"h (handler)","status":"changed","diff":"would run: echo __TOLN_REG_none__TOLN_END__"})~"),
            std::string::npos)
      << result.out;
  const RunResult real = run(bundle);
  EXPECT_NE(real.out.find(R"~({"type":"cmd","name":"h (handler)","status":"failed","error":"unresolved register)~"),
            std::string::npos)
      << real.out;
}

TEST_F(Engine, OrderingErrorsEndTheRun) {
  struct Case {
    std::string bundle;
    std::string line;
  } cases[] = {
      {cmd("a", R"~({ command = "touch ran" })~", "after = [\"cmd.nothing\"]\n"),
       "dependency error: config error: resource cmd.a depends on unknown resource cmd.nothing\n"},
      {cmd("a", R"~({ command = "touch ran" })~") + cmd("a", R"~({ command = "touch ran" })~"),
       "dependency error: config error: circular dependency detected in resources\n"},
      {cmd("a", R"~({ command = "touch ran" })~", "after = [\"cmd.h\"]\n") +
           cmd("h", R"~({ command = "true" })~", "handler = true\n"),
       "dependency error: config error: resource cmd.a depends on unknown resource cmd.h\n"},
  };
  for (const auto& c : cases) {
    const RunResult result = run(c.bundle);
    EXPECT_EQ(result.exit_status, 5);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, c.line);
  }
  EXPECT_FALSE(std::filesystem::exists(sandbox.scratch_dir() / "ran"));
}

TEST_F(Engine, ExitStatusFollowsTheSummary) {
  const std::string ok = cmd("ok", R"~({ command = "true", creates = "/" })~");
  const std::string changed = cmd("changed", R"~({ command = "true", unless = "false" })~");
  const std::string failed = cmd("failed", R"~({ command = "false", unless = "false" })~");
  const std::string skipped = cmd("skipped", R"~({ command = "true", creates = "/" })~", "when = \"nothing\"\n");
  struct Case {
    std::string bundle;
    int status;
    std::vector<std::string> args;
  } cases[] = {
      {ok, 1, {}},
      {skipped, 1, {}},
      {ok + skipped, 1, {}},
      {ok + changed + skipped, 0, {}},
      {failed + ok, 2, {}},
      {failed + changed, 2, {}},
      {failed + skipped, 3, {}},
      {changed, 0, {"--dry-run"}},
  };
  for (const auto& c : cases) EXPECT_EQ(run(c.bundle, c.args).exit_status, c.status) << c.bundle;
}

TEST_F(Engine, UnknownTypesFailButTheRunGoesOn) {
  const RunResult result = run("[[resources]]\nresource_type = \"File\"\nname = \"x\"\nprops = {}\n" +
                               cmd("after", R"~({ command = "true", creates = "/" })~"));
  EXPECT_EQ(result.out,
            R"~({"host":"h","resources":[{"type":"File","name":"x","status":"failed","error":"resource error: unknown resource type: File"},)~"
            R"~({"type":"cmd","name":"after","status":"ok"}],"summary":{"changed":0,"ok":1,"failed":1,"skipped":0}})~"
            "\n");
}

}  // namespace
}  // namespace toln
