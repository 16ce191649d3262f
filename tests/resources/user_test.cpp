// The user resource: once with the real account tools writing into the
// sandbox's overlaid /etc, and against fakes for exact commands and failures.
#include "resources/user.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "harness/sandbox.hpp"
#include "host/process.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using testing::Invocation;
using testing::Sandbox;
using testing::error_of;
using testing::text;

ResolvedResource user_resource(TomlTable props, std::string name = "account") {
  ResolvedResource r;
  r.resource_type = "user";
  r.name = std::move(name);
  r.props = std::move(props);
  return r;
}

std::string read_host_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// Standard output of a command run in process, trimmed of its final line feed.
std::string output_of(const std::string& program, const std::vector<std::string>& args) {
  auto ran = run({program, args});
  if (!ran) return "(not started)";
  std::string out = ran->stdout_bytes;
  while (out.ends_with('\n')) out.pop_back();
  return ran->status == 0 ? out : "(status " + std::to_string(ran->status) + ")";
}

TEST(UserResource, RealAccountToolsInTheOverlay) {
  TOLN_REQUIRE_SANDBOX();
  if (!fs::exists("/usr/sbin/useradd") || !fs::exists("/usr/sbin/groupadd")) GTEST_SKIP() << "no shadow tools here";
  const std::vector<fs::path> account_files = {"/etc/passwd", "/etc/group", "/etc/shadow", "/etc/gshadow"};
  std::vector<std::string> host_before;
  for (const auto& file : account_files) host_before.push_back(read_host_file(file));
  ASSERT_EQ(host_before[0].find("\ntolnapp:"), std::string::npos) << "the host has the test's account";

  Sandbox sandbox;
  // The tools may touch the login records and the mail spool too.
  for (const char* dir : {"/var/log", "/var/mail"}) {
    if (fs::is_directory(fs::symlink_status(dir))) sandbox.overlay(dir);
  }
  for (const char* tool : {"useradd", "usermod", "userdel"}) {
    sandbox.add_fake(tool, std::string("exec /usr/sbin/") + tool + " \"$@\"");
  }
  const std::string home_a = (sandbox.scratch_dir() / "home-a").string();
  const std::string home_b = (sandbox.scratch_dir() / "home-b").string();

  sandbox.run_in_process([&] {
    ASSERT_EQ(output_of("sh", {"-c", "/usr/sbin/groupadd tolnalpha && /usr/sbin/groupadd tolnbeta"}), "");
    auto apply = [](TomlTable props, bool dry_run) {
      props.emplace("name", text("tolnapp"));
      return apply_user(user_resource(std::move(props)), dry_run);
    };
    auto expect = [](const HandlerResult& result, ResourceStatus status, std::optional<std::string> diff) {
      ASSERT_TRUE(result) << error_of(result);
      EXPECT_EQ(result->status, status);
      EXPECT_EQ(result->diff, diff);
    };
    const auto passwd_line = [] { return output_of("getent", {"passwd", "tolnapp"}); };
    const auto groups = [] { return output_of("id", {"-nG", "tolnapp"}); };
    const TomlTable first = {{"home", text(home_a)}, {"shell", text("/bin/sh")}, {"groups", text("tolnalpha")}};
    const TomlTable second = {{"home", text(home_b)}, {"shell", text("/bin/bash")}, {"groups", text("tolnbeta,tolnalpha")}};

    expect(apply(first, true), ResourceStatus::Changed, "would create user tolnapp");
    EXPECT_EQ(passwd_line(), "(status 512)");

    expect(apply(first, false), ResourceStatus::Changed, "created user tolnapp");
    const std::string created = passwd_line();
    EXPECT_TRUE(created.starts_with("tolnapp:x:")) << created;
    EXPECT_TRUE(created.ends_with(":" + home_a + ":/bin/sh")) << created;
    EXPECT_EQ(groups(), "tolnapp tolnalpha");
    EXPECT_TRUE(fs::is_directory(home_a));
    expect(apply(first, false), ResourceStatus::Ok, std::nullopt);

    const std::string changes =
        "shell /bin/sh -> /bin/bash, home " + home_a + " -> " + home_b + ", groups -> tolnbeta,tolnalpha";
    expect(apply(second, true), ResourceStatus::Changed, changes);
    EXPECT_EQ(passwd_line(), created);

    expect(apply(second, false), ResourceStatus::Changed, changes);
    EXPECT_TRUE(passwd_line().ends_with(":" + home_b + ":/bin/bash")) << passwd_line();
    EXPECT_EQ(groups(), "tolnapp tolnalpha tolnbeta");
    EXPECT_FALSE(fs::exists(home_a));
    EXPECT_TRUE(fs::is_directory(home_b)) << "usermod -m moves the home";
    expect(apply(second, false), ResourceStatus::Ok, std::nullopt);

    expect(apply({{"groups", text("")}}, false), ResourceStatus::Changed, "groups -> ");
    EXPECT_EQ(groups(), "tolnapp");
    expect(apply({{"groups", text(" ")}}, false), ResourceStatus::Ok, std::nullopt);

    const TomlTable absent = {{"state", text("absent")}};
    expect(apply(absent, true), ResourceStatus::Changed, "would remove user tolnapp");
    EXPECT_TRUE(passwd_line().starts_with("tolnapp:"));
    expect(apply(absent, false), ResourceStatus::Changed, "removed user tolnapp");
    EXPECT_EQ(passwd_line(), "(status 512)");
    EXPECT_FALSE(fs::exists(home_b));
    expect(apply(absent, false), ResourceStatus::Ok, std::nullopt);
  });

  EXPECT_EQ(sandbox.invocations_of("useradd"),
            (std::vector<Invocation>{
                {"useradd", "--system", "-d", home_a, "-m", "-s", "/bin/sh", "-G", "tolnalpha", "tolnapp"}}));
  EXPECT_EQ(sandbox.invocations_of("usermod"),
            (std::vector<Invocation>{
                {"usermod", "-s", "/bin/bash", "-d", home_b, "-m", "-G", "tolnbeta,tolnalpha", "tolnapp"},
                {"usermod", "-G", "", "tolnapp"}}));
  EXPECT_EQ(sandbox.invocations_of("userdel"), (std::vector<Invocation>{{"userdel", "-r", "tolnapp"}}));
  const auto written = sandbox.read_upper("/etc/passwd");
  ASSERT_TRUE(written) << "the tools wrote into the overlay";
  EXPECT_EQ(written->find("tolnapp:"), std::string::npos);
  EXPECT_NE(sandbox.read_upper("/etc/group").value_or("").find("tolnbeta:"), std::string::npos);
  for (std::size_t i = 0; i < account_files.size(); ++i) {
    EXPECT_EQ(read_host_file(account_files[i]), host_before[i]) << account_files[i] << " of the host changed";
  }
}

class UserResourceFaked : public ::testing::Test {
 protected:
  void SetUp() override {
    TOLN_REQUIRE_SANDBOX();
    // alice, bob, dave and erin exist; bob's passwd line is cut short and
    // erin's has an empty shell.
    sandbox.add_fake("id", R"~(case "$1" in
      -nG) echo "alice docker wheel" ;;
      -gn) echo " alice" ;;
      alice|bob|dave|erin) echo "uid=1000($1)" ;;
      *) echo "id: '$1': no such user" >&2; exit 1 ;;
    esac)~");
    sandbox.add_fake("getent", R"(case "$2" in
      alice) echo "alice:x:1000:1000:Alice:/home/alice:/bin/bash" ;;
      bob) echo "bob:x:1001:1001::/home/bob" ;;
      erin) echo "erin:x:1003:1003::/home/erin:" ;;
    esac; exit 2)");
    sandbox.add_fake("useradd", R"(case "$*" in *broken*) echo "useradd: cannot lock /etc/passwd" >&2; exit 1 ;; esac)");
    sandbox.add_fake("usermod", R"(case "$*" in */bin/broken*) echo "usermod: boom" >&2; exit 6 ;; esac)");
    sandbox.add_fake("userdel", R"(case "$2" in dave) echo "userdel: user dave is currently used by process 1" >&2; kill -9 $$ ;; esac)");
  }
  Sandbox sandbox;
};

TEST_F(UserResourceFaked, CommandsMessagesAndErrors) {
  using Calls = std::vector<Invocation>;
  const Invocation id_alice = {"id", "alice"}, getent_alice = {"getent", "passwd", "alice"};
  const Invocation groups_alice = {"id", "-nG", "alice"}, primary_alice = {"id", "-gn", "alice"};
  const struct Case {
    std::string title;
    TomlTable props;
    bool dry_run;
    ResourceStatus status;
    std::optional<std::string> diff;
    std::string error;
    Calls calls;
  } cases[] = {
      {"missing, absent", {{"name", text("carol")}, {"state", text("absent")}}, false, ResourceStatus::Ok,
       std::nullopt, "", {{"id", "carol"}}},
      {"missing, created with everything",
       {{"name", text("carol")}, {"home", text("/srv/app")}, {"shell", text("/bin/sh")}, {"groups", text("a,b")}},
       false, ResourceStatus::Changed, "created user carol", "",
       {{"id", "carol"}, {"useradd", "--system", "-d", "/srv/app", "-m", "-s", "/bin/sh", "-G", "a,b", "carol"}}},
      {"missing, created with groups written with blanks", {{"name", text("carol")}, {"groups", text("a, b")}}, false,
       ResourceStatus::Changed, "created user carol", "", {{"id", "carol"}, {"useradd", "--system", "-G", "a, b", "carol"}}},
      {"missing, created bare", {{"name", text("carol")}}, false, ResourceStatus::Changed, "created user carol", "",
       {{"id", "carol"}, {"useradd", "--system", "carol"}}},
      {"missing, dry run", {{"name", text("carol")}, {"shell", text("/bin/sh")}}, true, ResourceStatus::Changed,
       "would create user carol", "", {{"id", "carol"}}},
      {"existing, nothing to compare", {{"name", text("alice")}}, false, ResourceStatus::Ok, std::nullopt, "",
       {id_alice, getent_alice}},
      {"existing, passwd line cut short", {{"name", text("bob")}}, false, ResourceStatus::Failed, std::nullopt,
       "resource error: could not parse getent passwd output for user bob", {{"id", "bob"}, {"getent", "passwd", "bob"}}},
      {"existing, everything differs",
       {{"name", text("alice")}, {"shell", text("/bin/sh")}, {"home", text("/srv/alice")}, {"groups", text("wheel")}},
       false, ResourceStatus::Changed, "shell /bin/bash -> /bin/sh, home /home/alice -> /srv/alice, groups -> wheel", "",
       {id_alice, getent_alice, groups_alice, primary_alice,
        {"usermod", "-s", "/bin/sh", "-d", "/srv/alice", "-m", "-G", "wheel", "alice"}}},
      {"existing, everything differs, dry run",
       {{"name", text("alice")}, {"shell", text("/bin/sh")}, {"home", text("/srv/alice")}, {"groups", text("wheel")}},
       true, ResourceStatus::Changed, "shell /bin/bash -> /bin/sh, home /home/alice -> /srv/alice, groups -> wheel", "",
       {id_alice, getent_alice, groups_alice, primary_alice}},
      {"existing, same groups written with a blank",
       {{"name", text("alice")}, {"groups", text("wheel, docker")}, {"shell", text("/bin/bash")}}, false,
       ResourceStatus::Ok, std::nullopt, "", {id_alice, getent_alice, groups_alice, primary_alice}},
      {"existing, primary group named", {{"name", text("alice")}, {"groups", text("alice,docker,wheel")}}, false,
       ResourceStatus::Changed, "groups -> alice,docker,wheel", "",
       {id_alice, getent_alice, groups_alice, primary_alice, {"usermod", "-G", "alice,docker,wheel", "alice"}}},
      {"existing, other groups written with blanks", {{"name", text("alice")}, {"groups", text(" wheel , staff")}},
       false, ResourceStatus::Changed, "groups ->  wheel , staff", "",
       {id_alice, getent_alice, groups_alice, primary_alice, {"usermod", "-G", " wheel , staff", "alice"}}},
      {"existing, no groups wanted", {{"name", text("alice")}, {"groups", text("")}}, false, ResourceStatus::Changed,
       "groups -> ", "", {id_alice, getent_alice, groups_alice, primary_alice, {"usermod", "-G", "", "alice"}}},
      {"existing, home with a trailing slash", {{"name", text("alice")}, {"home", text("/home/alice/")}}, false,
       ResourceStatus::Changed, "home /home/alice -> /home/alice/", "",
       {id_alice, getent_alice, {"usermod", "-d", "/home/alice/", "-m", "alice"}}},
      {"existing, empty shell", {{"name", text("erin")}, {"shell", text("/bin/sh")}}, false, ResourceStatus::Changed,
       "shell  -> /bin/sh", "", {{"id", "erin"}, {"getent", "passwd", "erin"}, {"usermod", "-s", "/bin/sh", "erin"}}},
      {"other state", {{"name", text("alice")}, {"state", text("Present")}, {"shell", text("/bin/sh")}}, false,
       ResourceStatus::Ok, std::nullopt, "", {id_alice}},
      {"existing, removed", {{"name", text("alice")}, {"state", text("absent")}}, false, ResourceStatus::Changed,
       "removed user alice", "", {id_alice, {"userdel", "-r", "alice"}}},
      {"existing, removal in dry run", {{"name", text("alice")}, {"state", text("absent")}}, true,
       ResourceStatus::Changed, "would remove user alice", "", {id_alice}},
      {"useradd fails", {{"name", text("broken")}}, false, ResourceStatus::Failed, std::nullopt,
       "resource error: useradd failed: useradd: cannot lock /etc/passwd\n",
       {{"id", "broken"}, {"useradd", "--system", "broken"}}},
      {"usermod fails", {{"name", text("alice")}, {"shell", text("/bin/broken")}}, false, ResourceStatus::Failed,
       std::nullopt, "resource error: usermod failed: usermod: boom\n",
       {id_alice, getent_alice, {"usermod", "-s", "/bin/broken", "alice"}}},
      {"userdel dies", {{"name", text("dave")}, {"state", text("absent")}}, false, ResourceStatus::Failed,
       std::nullopt, "resource error: userdel failed: userdel: user dave is currently used by process 1\n",
       {{"id", "dave"}, {"userdel", "-r", "dave"}}},
      {"no name", {{"name", TomlValue{true}}}, false, ResourceStatus::Failed, std::nullopt,
       "resource error: user resource requires 'name'", {}},
      {"option-like name", {{"name", text("-r")}}, false, ResourceStatus::Failed, std::nullopt,
       "resource error: user resource: 'name' must not begin with '-': -r", {}},
      {"option-like shell", {{"name", text("alice")}, {"shell", text("-x")}, {"state", text("absent")}}, false,
       ResourceStatus::Failed, std::nullopt, "resource error: user resource: 'shell' must not begin with '-': -x", {}},
      {"option-like home", {{"name", text("carol")}, {"home", text("--help")}}, false, ResourceStatus::Failed,
       std::nullopt, "resource error: user resource: 'home' must not begin with '-': --help", {}},
      {"option-like group", {{"name", text("carol")}, {"groups", text("wheel, -x")}}, false, ResourceStatus::Failed,
       std::nullopt, "resource error: user resource: group must not begin with '-': -x", {}},
      {"NUL in the name", {{"name", text(std::string("alice\0-r", 8))}}, false, ResourceStatus::Failed, std::nullopt,
       "resource error: user resource: 'name' contains a NUL byte", {}},
      {"NUL in the groups", {{"name", text("alice")}, {"groups", text(std::string("a\0b", 3))}}, false,
       ResourceStatus::Failed, std::nullopt, "resource error: user resource: 'groups' contains a NUL byte", {}},
  };
  sandbox.run_in_process([&] {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.title);
      sandbox.clear_invocations();
      const auto result = apply_user(user_resource(c.props), c.dry_run);
      EXPECT_EQ(error_of(result), c.error);
      if (result) {
        EXPECT_EQ(result->type, "user");
        EXPECT_EQ(result->name, "account") << "the result carries the resource's name";
        EXPECT_EQ(result->status, c.status);
        EXPECT_EQ(result->diff, c.diff);
      }
      EXPECT_EQ(sandbox.invocations(), c.calls);
    }
  });
}

TEST_F(UserResourceFaked, EndToEndThroughTheAgent) {
  const std::string bundle = R"(host = "h"
[[resources]]
resource_type = "user"
name = "app account"
props = { name = "carol", shell = "/bin/sh" }
[[resources]]
resource_type = "user"
name = "old"
props = { name = "alice", state = "absent" }
)";
  const auto dry = sandbox.run_agent({"--dry-run"}, bundle);
  EXPECT_EQ(dry.out,
            R"({"host":"h","resources":[{"type":"user","name":"app account","status":"changed","diff":"would create user carol"},)"
            R"({"type":"user","name":"old","status":"changed","diff":"would remove user alice"}],)"
            R"("summary":{"changed":2,"ok":0,"failed":0,"skipped":0}})"
            "\n");
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{{"id", "carol"}, {"id", "alice"}}));
  sandbox.clear_invocations();
  const auto real = sandbox.run_agent({}, bundle);
  EXPECT_EQ(real.exit_status, 0) << real.err;
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{{"id", "carol"},
                                                            {"useradd", "--system", "-s", "/bin/sh", "carol"},
                                                            {"id", "alice"},
                                                            {"userdel", "-r", "alice"}}));
}

}  // namespace
}  // namespace toln
