// The docker_compose handler in the sandbox: project directories in the
// scratch directory, a fake docker whose stack runs while
// $TOLN_FAKE_STATE/running exists.
#include "resources/docker_compose.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "harness/sandbox.hpp"
#include "host/sha256.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using testing::Invocation;
using testing::Sandbox;
using testing::error_of;
using testing::text;

constexpr const char* kCompose = "services:\n  web:\n    image: nginx:1.27\n";
constexpr const char* kEnv = "DB_PASSWORD=s3cr3t\n";

ResolvedResource stack(const fs::path& dir, TomlTable extra = {}) {
  ResolvedResource r;
  r.resource_type = "docker_compose";
  r.name = "app";
  r.props = std::move(extra);
  r.props["project_dir"] = text(dir.string());
  return r;
}

// One record as "field action from to", "-" for an absent value.
std::string record(const FieldChange& change) {
  static const char* const kActions[] = {"create", "update", "delete"};
  return change.field + " " + kActions[static_cast<int>(change.action)] + " " + change.from.value_or("-") + " " +
         change.to.value_or("-");
}

std::vector<std::string> records(const ResourceResult& result) {
  std::vector<std::string> out;
  for (const auto& change : result.changes) out.push_back(record(change));
  return out;
}

void expect_result(const HandlerResult& result, std::optional<std::string> diff, std::vector<std::string> changes) {
  ASSERT_TRUE(result) << error_of(result);
  EXPECT_EQ(result->type, "docker_compose");
  EXPECT_EQ(result->name, "app");
  EXPECT_EQ(result->status, diff ? ResourceStatus::Changed : ResourceStatus::Ok);
  EXPECT_EQ(result->diff, diff);
  EXPECT_EQ(records(*result), changes);
}

std::string read(const fs::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << content;
}

fs::perms perms_of(const fs::path& path) { return fs::status(path).permissions(); }

class DockerCompose : public ::testing::Test {
 protected:
  void SetUp() override {
    TOLN_REQUIRE_SANDBOX();
    sandbox.add_fake("docker", R"(s="$TOLN_FAKE_STATE"
[ "$1 $2" = "compose -f" ] || { echo "unexpected: $*" >&2; exit 2; }
shift 3
if [ -e "$s/$1-fails" ]; then echo "$1 went wrong" >&2; exit 1; fi
case "$1" in
  ps) [ -e "$s/running" ] && echo 3f2a1b4c5d6e ;;
  up) : > "$s/running" ;;
  down) rm -f "$s/running" ;;
esac
exit 0)");
  }
  fs::path dir() const { return sandbox.scratch_dir() / "app"; }
  std::string compose_file() const { return (dir() / "docker-compose.yml").string(); }
  Invocation docker(std::vector<std::string> subcommand) const {
    Invocation invocation{"docker", "compose", "-f", compose_file()};
    invocation.insert(invocation.end(), subcommand.begin(), subcommand.end());
    return invocation;
  }
  Invocation ps() const { return docker({"ps", "-q"}); }
  Invocation pull() const { return docker({"pull", "-q"}); }
  Invocation up() const { return docker({"up", "-d", "--remove-orphans"}); }
  void set_state(const std::string& name) { std::ofstream(sandbox.state_dir() / name); }
  // The commands run, without the restorecon of every atomic write.
  std::vector<Invocation> commands() const { return sandbox.invocations_except("restorecon"); }
  TomlTable both_files() const { return {{"content", text(kCompose)}, {"env_content", text(kEnv)}}; }

  Sandbox sandbox;
};

TEST_F(DockerCompose, NewProjectIsWrittenAndStartedThenOk) {
  const std::string d = dir().string();
  const std::vector<std::string> created = {"project_dir create - " + d,
                                            "compose_file create - " + content_digest(kCompose),
                                            "env_file create - " + content_digest(kEnv), "stack create - -"};
  sandbox.run_in_process([&] {
    expect_result(apply_docker_compose(stack(d, both_files()), true),
                  "create " + d + ", compose file updated, .env updated, would start (containers not running)",
                  created);
    EXPECT_FALSE(fs::exists(d));
  });
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{ps()}));

  sandbox.clear_invocations();
  sandbox.run_in_process([&] {
    expect_result(apply_docker_compose(stack(d, both_files()), false),
                  "create " + d + ", compose file updated, .env updated, containers not running, started", created);
  });
  EXPECT_EQ(read(compose_file()), kCompose);
  EXPECT_EQ(read(dir() / ".env"), kEnv);
  EXPECT_EQ(perms_of(compose_file()), fs::perms(0644));
  EXPECT_EQ(perms_of(dir() / ".env"), fs::perms(0600)) << "a new .env holds secrets";
  EXPECT_EQ(commands(), (std::vector<Invocation>{ps(), pull(), up()}));

  sandbox.clear_invocations();
  sandbox.run_in_process([&] { expect_result(apply_docker_compose(stack(d, both_files()), false), std::nullopt, {}); });
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{ps()})) << "a running, unchanged stack is left alone";
}

TEST_F(DockerCompose, ChangedFilesOfARunningStack) {
  write(compose_file(), "services: {}\n");
  write(dir() / ".env", "OLD=1\n");
  fs::permissions(dir() / ".env", fs::perms(0640));
  set_state("running");
  const std::string d = dir().string();
  sandbox.run_in_process([&] {
    expect_result(apply_docker_compose(stack(d, both_files()), true),
                  "compose file updated, .env updated, would reconcile via docker compose up -d",
                  {"compose_file update " + content_digest("services: {}\n") + " " + content_digest(kCompose),
                   "env_file update " + content_digest("OLD=1\n") + " " + content_digest(kEnv), "stack update - -"});
  });
  EXPECT_EQ(read(compose_file()), "services: {}\n");
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{ps()}));

  sandbox.clear_invocations();
  sandbox.run_in_process([&] {
    auto with_pull_off = both_files();
    with_pull_off["pull"] = TomlValue{false};
    expect_result(apply_docker_compose(stack(d, with_pull_off), false), "compose file updated, .env updated, started",
                  {"compose_file update " + content_digest("services: {}\n") + " " + content_digest(kCompose),
                   "env_file update " + content_digest("OLD=1\n") + " " + content_digest(kEnv), "stack update - -"});
  });
  EXPECT_EQ(read(compose_file()), kCompose);
  EXPECT_EQ(read(dir() / ".env"), kEnv);
  EXPECT_EQ(perms_of(dir() / ".env"), fs::perms(0640)) << "an existing .env keeps its mode";
  EXPECT_EQ(commands(), (std::vector<Invocation>{ps(), up()}));
}

TEST_F(DockerCompose, StoppedStackWithUnchangedFilesIsStarted) {
  write(compose_file(), kCompose);
  const std::string d = dir().string();
  sandbox.run_in_process([&] {
    // pull given as a string counts as not given: true. Any state but "down" is "up".
    expect_result(apply_docker_compose(stack(d, {{"content", text(kCompose)}, {"pull", text("false")},
                                                 {"state", text("stopped")}}),
                                       false),
                  "containers not running, started", {"stack create - -"});
  });
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{ps(), pull(), up()}));
}

TEST_F(DockerCompose, FilesNotGivenAsStringsAreNotRead) {
  write(compose_file(), "\xff");
  set_state("running");
  const std::string d = dir().string();
  sandbox.run_in_process([&] {
    expect_result(apply_docker_compose(stack(d, {{"content", TomlValue{std::int64_t{1}}}}), false), std::nullopt, {});
    EXPECT_EQ(error_of(apply_docker_compose(stack(d, {{"content", text(kCompose)}}), false)),
              "resource error: failed to read " + d + "/docker-compose.yml: stream did not contain valid UTF-8");
  });
}

TEST_F(DockerCompose, ProjectDirThatIsAFileCountsAsPresent) {
  write(dir(), "not a directory");
  const std::string d = dir().string();
  sandbox.run_in_process([&] {
    expect_result(apply_docker_compose(stack(d, {{"pull", TomlValue{false}}}), false), "containers not running, started",
                  {"stack create - -"});
    EXPECT_EQ(error_of(apply_docker_compose(stack(d + "/sub"), false)),
              "resource error: failed to create " + d + "/sub: Not a directory (os error 20)");
  });
}

TEST_F(DockerCompose, Down) {
  const std::string d = dir().string();
  set_state("running");
  sandbox.run_in_process([&] {
    expect_result(apply_docker_compose(stack(d, {{"state", text("down")}}), true), "would stop", {"stack delete app -"});
    expect_result(apply_docker_compose(stack(d, {{"state", text("down")}}), false), "stopped", {"stack delete app -"});
    expect_result(apply_docker_compose(stack(d, {{"state", text("down")}}), false), std::nullopt, {});
  });
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{ps(), ps(), docker({"down"}), ps()}));
  EXPECT_FALSE(fs::exists(d)) << "down does not look at the directory";

  sandbox.clear_invocations();
  set_state("running");
  set_state("ps-fails");
  sandbox.run_in_process(
      [&] { expect_result(apply_docker_compose(stack(d, {{"state", text("down")}}), false), std::nullopt, {}); });
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{ps()}));
}

TEST_F(DockerCompose, CommandFailuresStopTheHandler) {
  const std::string d = dir().string();
  struct Case {
    std::string failing;
    std::string state;
    std::string error;
  } cases[] = {
      {"pull", "up", "resource error: docker compose pull failed: pull went wrong\n"},
      {"up", "up", "resource error: docker compose up failed: up went wrong\n"},
      {"down", "down", "resource error: docker compose down failed: down went wrong\n"},
  };
  for (const auto& c : cases) {
    fs::remove(sandbox.state_dir() / "pull-fails");
    fs::remove(sandbox.state_dir() / "up-fails");
    set_state(c.failing + "-fails");
    if (c.state == "down") set_state("running");
    sandbox.run_in_process([&] {
      EXPECT_EQ(error_of(apply_docker_compose(stack(d, {{"content", text(kCompose)}, {"state", text(c.state)}}), false)),
                c.error);
    });
  }
  EXPECT_EQ(read(compose_file()), kCompose) << "files written before a failure stay";
}

TEST_F(DockerCompose, UnwritableComposeFile) {
  fs::create_directories(dir());
  fs::create_symlink("elsewhere.yml", compose_file());
  const std::string d = dir().string();
  sandbox.run_in_process([&] {
    EXPECT_EQ(error_of(apply_docker_compose(stack(d, {{"content", text(kCompose)}}), false)),
              "resource error: failed to write " + d + "/docker-compose.yml: resource error: refusing to atomically "
              "write " + d + "/docker-compose.yml: path is a symlink");
  });
  EXPECT_EQ(sandbox.invocations(), std::vector<Invocation>{});
}

TEST_F(DockerCompose, ProjectDirBehindAnotherUsersLinkIsRefused) {
  const fs::path target = sandbox.scratch_dir() / "root-owned";
  const fs::path link = sandbox.scratch_dir() / "users-link";
  sandbox.run_in_process([&] {
    fs::create_directory(target);
    fs::create_symlink(target, link);
    ASSERT_EQ(::lchown(link.c_str(), 65534, 65534), 0);
    EXPECT_EQ(error_of(apply_docker_compose(stack(link, both_files()), false)),
              "resource error: refusing to follow symbolic link " + link.string() + " in " + link.string() +
                  ": it is owned by uid 65534 but leads to a file owned by uid 0");
    EXPECT_TRUE(fs::is_empty(target));
  });
  EXPECT_TRUE(commands().empty());
}

TEST_F(DockerCompose, ProjectDirIsRequiredAndNotEmpty) {
  sandbox.run_in_process([] {
    ResolvedResource missing = stack("");
    missing.props.erase("project_dir");
    EXPECT_EQ(error_of(apply_docker_compose(missing, false)), "resource error: docker_compose resource requires 'project_dir'");
    auto empty = apply_docker_compose(stack("", {{"content", text(kCompose)}}), false);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->status, ResourceStatus::Failed);
    EXPECT_EQ(empty->error, "docker_compose property 'project_dir' must not be empty");
  });
  EXPECT_EQ(sandbox.invocations(), std::vector<Invocation>{});
}

}  // namespace
}  // namespace toln
