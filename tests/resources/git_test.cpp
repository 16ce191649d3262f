// The git resource against the real git, on a bare repository that the test
// makes in the sandbox's scratch directory and reaches by its path. git runs
// through a fake that logs each call and then execs the real program.
#include "resources/git.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "harness/sandbox.hpp"
#include "host/process.hpp"
#include "support/git_repository.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using testing::Invocation;
using testing::Sandbox;
using testing::dir_names;
using testing::error_of;
using testing::fast_import;
using testing::fast_import_annotated_tag;
using testing::fast_import_lightweight_tag;
using testing::import_into_repository;
using testing::make_bare_repository;
using testing::lstat_of;
using testing::RunResult;
using testing::write_file;
using testing::text;

ResolvedResource git_resource(TomlTable props) {
  ResolvedResource r;
  r.resource_type = "git";
  r.name = "src";
  r.props = std::move(props);
  return r;
}

std::string read_text(const fs::path& path) {
  std::ifstream in(path);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// Runs a shell command in process (inside the sandbox) and requires success.
void sh(const std::string& command) {
  auto ran = run(host_programs::shell(command));
  ASSERT_TRUE(ran);
  ASSERT_EQ(ran->status, 0) << command << ": " << ran->stderr_bytes;
}

std::string head_of(const std::string& path) {
  auto ran = run({"/usr/bin/git", {"-C", path, "rev-parse", "HEAD"}});
  if (!ran || ran->status != 0) return "(no HEAD)";
  std::string commit = ran->stdout_bytes;
  while (commit.ends_with('\n')) commit.pop_back();
  return commit;
}

// The fake git's log of the directory each git started in, one line per
// call, with the random part of a private clone directory's name as "*".
// Shell built-ins only: git runs hundreds of times in this suite.
constexpr std::string_view kGitCwdLog = R"(cd -P . && started=$PWD
case $started in *.toln-clone.*) started=${started%.toln-clone.*}.toln-clone.* ;; esac
printf '%s\n' "$started" >> "$TOLN_FAKE_STATE/git-cwd"
)";

class GitResource : public ::testing::Test {
 protected:
  void SetUp() override {
    TOLN_REQUIRE_SANDBOX();
    sandbox.add_fake("git", std::string(kGitCwdLog) + R"(exec /usr/bin/git "$@")");
    // main: one -> two; feature: one -> three; the tags "light" (lightweight)
    // and "annot" (annotated) on one. "file" differs in every commit, "other"
    // in none.
    const auto ids = make_bare_repository(
        sandbox, origin(),
        fast_import({1, "refs/heads/main", "one", "", {{"file", "one\n"}, {"other", "same\n"}}}) +
            fast_import_lightweight_tag("light", 1) + fast_import_annotated_tag("annot", 1, "release") +
            fast_import({2, "refs/heads/feature", "three", ":1", {{"file", "three\n"}}}) +
            fast_import({3, "refs/heads/main", "two", ":1", {{"file", "two\n"}}}),
        {1, 3, 2});
    ASSERT_EQ(ids.size(), 3u);
    first = ids[0], second = ids[1], feature = ids[2];
    clear_invocations();
  }

  std::string path(const std::string& name) const { return (sandbox.scratch_dir() / name).string(); }
  // Where the git calls since the last clear_invocations started, in order.
  std::vector<std::string> git_cwds() const {
    std::vector<std::string> lines;
    std::istringstream log(read_text(sandbox.state_dir() / "git-cwd"));
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    return lines;
  }
  void clear_invocations() {
    sandbox.clear_invocations();
    fs::remove(sandbox.state_dir() / "git-cwd");
  }
  std::string origin() const { return path("origin.git"); }

  // A resource for the origin at path with the extra properties.
  ResolvedResource checkout(const std::string& at, TomlTable extra = {}) const {
    extra.emplace("url", text(origin()));
    extra.emplace("path", text(at));
    return git_resource(std::move(extra));
  }

  Sandbox sandbox;
  std::string first, second, feature;
};

TEST_F(GitResource, ClonesThenConvergesOnEveryKindOfRef) {
  sandbox.run_in_process([&] {
    const struct {
      std::optional<std::string> ref;
      std::string commit;
    } cases[] = {
        {"annot", first},
        {"light", first},
        {"main", second},
        {"feature", feature},
        {first, first},
        {first.substr(0, 8), first},
        {std::nullopt, second},
    };
    int n = 0;
    for (const auto& c : cases) {
      SCOPED_TRACE(c.ref.value_or("no ref"));
      const std::string at = path("co-" + std::to_string(n++));
      TomlTable props;
      if (c.ref) props.emplace("ref", text(*c.ref));
      const auto resource = checkout(at, props);

      auto cloned = apply_git(resource, false);
      ASSERT_TRUE(cloned) << error_of(cloned);
      EXPECT_EQ(cloned->status, ResourceStatus::Changed);
      EXPECT_EQ(cloned->diff, "cloned " + origin() + " -> " + at);
      EXPECT_EQ(head_of(at), c.commit);

      auto again = apply_git(resource, false);
      ASSERT_TRUE(again) << error_of(again);
      EXPECT_EQ(again->status, ResourceStatus::Ok) << again->diff.value_or("");
      EXPECT_FALSE(again->diff);
      EXPECT_EQ(head_of(at), c.commit);

      auto previewed = apply_git(resource, true);
      ASSERT_TRUE(previewed) << error_of(previewed);
      EXPECT_EQ(previewed->status, ResourceStatus::Ok);
    }
  });
}

// A clone is made in a private directory beside the path, where the
// commit id is checked out too, and is then renamed into place.
TEST_F(GitResource, CloneCommandsForNamesAndCommitIds) {
  sandbox.run_in_process([&] {
    const std::string short_id = first.substr(0, 8);
    ASSERT_TRUE(apply_git(checkout(path("by-id"), {{"ref", text(short_id)}}), false));
    ASSERT_TRUE(apply_git(checkout(path("by-tag"), {{"ref", text("annot")}}), false));
    ASSERT_TRUE(apply_git(checkout(path("shallow"), {{"ref", text("main")}, {"depth", text("1")}}), false));
    ASSERT_TRUE(apply_git(checkout(path("deep"), {{"depth", TomlValue{std::int64_t{1}}}}), false));
  });
  const Invocation ssh_question = {"git", "config", "--get", "core.sshCommand"};
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{
                                       ssh_question,
                                       {"git", "clone", origin(), "."},
                                       {"git", "checkout", first.substr(0, 8)},
                                       ssh_question,
                                       {"git", "clone", "--branch", "annot", origin(), "."},
                                       ssh_question,
                                       {"git", "clone", "--branch", "main", "--depth", "1", origin(), "."},
                                       ssh_question,
                                       {"git", "clone", origin(), "."},
                                   }));
  const std::string by_id = path(".by-id.toln-clone.*"), by_tag = path(".by-tag.toln-clone.*");
  const std::string shallow = path(".shallow.toln-clone.*"), deep = path(".deep.toln-clone.*");
  EXPECT_EQ(git_cwds(),
            (std::vector<std::string>{by_id, by_id, by_id, by_tag, by_tag, shallow, shallow, deep, deep}));
  EXPECT_EQ(dir_names(sandbox.scratch_dir()),
            (std::vector<std::string>{"by-id", "by-tag", "deep", "origin.git", "shallow"}));
}

// Each in the checkout, which git is started in: the ssh question goes
// before the fetch (see SshIsBoundedUnlessTheOperatorChoseOtherwise).
TEST_F(GitResource, ConvergedCheckoutRunsOnlyTheProbeTheSshQuestionTheFetchAndTwoResolves) {
  const std::string at = path("co");
  sandbox.run_in_process([&] { ASSERT_TRUE(apply_git(checkout(at, {{"ref", text("main")}}), false)); });
  clear_invocations();
  sandbox.run_in_process([&] {
    auto result = apply_git(checkout(at, {{"ref", text("main")}}), false);
    ASSERT_TRUE(result) << error_of(result);
    EXPECT_EQ(result->status, ResourceStatus::Ok);
  });
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{
                                       {"git", "rev-parse", "--verify", "HEAD"},
                                       {"git", "config", "--get", "core.sshCommand"},
                                       {"git", "fetch", "--tags", "origin"},
                                       {"git", "rev-parse", "--verify", "origin/main^{commit}"},
                                       {"git", "rev-parse", "--verify", "HEAD"},
                                   }));
  EXPECT_EQ(git_cwds(), std::vector<std::string>(5, at));
}

TEST_F(GitResource, MovesToOtherRefsAndFollowsTheRemoteBranch) {
  const std::string at = path("co");
  sandbox.run_in_process([&] {
    ASSERT_TRUE(apply_git(checkout(at, {{"ref", text("main")}}), false));

    // A local edit to a file that the move would change stops the checkout,
    // and nothing is lost.
    ASSERT_NO_FATAL_FAILURE(sh("echo local edit > " + at + "/file"));
    const auto blocked = error_of(apply_git(checkout(at, {{"ref", text("annot")}}), false));
    EXPECT_TRUE(blocked.starts_with("resource error: git checkout failed: error: Your local changes")) << blocked;
    EXPECT_EQ(read_text(at + "/file"), "local edit\n");
    EXPECT_EQ(head_of(at), second);
    ASSERT_NO_FATAL_FAILURE(sh("git -C " + at + " checkout -q -- file"));

    // One that the checkout carries over is discarded by the hard reset.
    ASSERT_NO_FATAL_FAILURE(sh("echo local edit > " + at + "/other"));
    auto to_tag = apply_git(checkout(at, {{"ref", text("annot")}}), false);
    ASSERT_TRUE(to_tag) << error_of(to_tag);
    EXPECT_EQ(to_tag->status, ResourceStatus::Changed);
    EXPECT_EQ(to_tag->diff, "checkout annot");
    EXPECT_EQ(head_of(at), first);
    EXPECT_EQ(read_text(at + "/file"), "one\n");
    EXPECT_EQ(read_text(at + "/other"), "same\n");

    auto to_branch = apply_git(checkout(at, {{"ref", text("feature")}}), false);
    ASSERT_TRUE(to_branch) << error_of(to_branch);
    EXPECT_EQ(to_branch->diff, "checkout feature");
    EXPECT_EQ(head_of(at), feature);

    auto to_main = apply_git(checkout(at, {{"ref", text("main")}}), false);
    ASSERT_TRUE(to_main) << error_of(to_main);
    EXPECT_EQ(to_main->diff, "checkout main");
    EXPECT_EQ(head_of(at), second);

    // Upstream moves on: the next run fetches and follows origin/main.
    const auto pushed = import_into_repository(
        sandbox, origin(), fast_import({1, "refs/heads/main", "four", "refs/heads/main^0", {{"file", "four\n"}}}),
        {1});
    ASSERT_EQ(pushed.size(), 1u);
    const std::string fourth = pushed[0];
    ASSERT_NE(fourth, second);
    auto followed = apply_git(checkout(at, {{"ref", text("main")}}), false);
    ASSERT_TRUE(followed) << error_of(followed);
    EXPECT_EQ(followed->diff, "checkout main");
    EXPECT_EQ(head_of(at), fourth);
    EXPECT_EQ(apply_git(checkout(at, {{"ref", text("main")}}), false)->status, ResourceStatus::Ok);
  });
}

TEST_F(GitResource, DryRunOnlyProbesAndResolves) {
  const std::string at = path("co"), fresh = path("fresh"), missing = path("missing");
  sandbox.run_in_process([&] {
    ASSERT_TRUE(apply_git(checkout(at, {{"ref", text("main")}}), false));
    ASSERT_TRUE(apply_git(checkout(fresh), false));
  });
  sandbox.clear_invocations();
  sandbox.run_in_process([&] {
    auto clone = apply_git(checkout(missing), true);
    ASSERT_TRUE(clone) << error_of(clone);
    EXPECT_EQ(clone->status, ResourceStatus::Changed);
    EXPECT_EQ(clone->diff, "would clone " + origin() + " -> " + missing);
    EXPECT_FALSE(fs::exists(missing));

    auto move = apply_git(checkout(at, {{"ref", text("annot")}}), true);
    ASSERT_TRUE(move) << error_of(move);
    EXPECT_EQ(move->status, ResourceStatus::Changed);
    EXPECT_EQ(move->diff, "would update " + at + " to annot");
    EXPECT_EQ(head_of(at), second);

    // Never fetched: FETCH_HEAD does not resolve, so an update is foreseen.
    auto unfetched = apply_git(checkout(fresh), true);
    ASSERT_TRUE(unfetched) << error_of(unfetched);
    EXPECT_EQ(unfetched->diff, "would update " + fresh + " to HEAD");
  });
  for (const auto& call : sandbox.invocations()) {
    ASSERT_GE(call.size(), 2u);
    EXPECT_TRUE(call[1] == "rev-parse") << "dry run ran git " << call[1];
  }
}

TEST_F(GitResource, PathThatIsNotARepository) {
  const std::string file = path("plain-file"), full = path("full"), empty = path("empty"), fifo = path("fifo");
  const std::string outer = path("outer"), inner = path("outer/sub"), inner_empty = path("outer/empty");
  sandbox.run_in_process([&] {
    ASSERT_NO_FATAL_FAILURE(
        sh("echo x > " + file + " && mkdir " + full + " " + empty + " && echo x > " + full + "/kept && mkfifo " +
           fifo));
    ASSERT_TRUE(apply_git(checkout(outer, {{"ref", text("main")}}), false));
    ASSERT_NO_FATAL_FAILURE(
        sh("mkdir " + inner + " " + inner_empty + " && echo x > " + inner + "/kept && echo edit > " + outer + "/file"));

    for (const auto& at : {file, full, inner, fifo}) {
      for (const bool dry_run : {false, true}) {
        SCOPED_TRACE(at + (dry_run ? " (dry run)" : ""));
        auto result = apply_git(checkout(at, {{"ref", text("annot")}}), dry_run);
        ASSERT_TRUE(result) << error_of(result);
        EXPECT_EQ(result->status, ResourceStatus::Failed);
        EXPECT_EQ(result->error, "path exists and is not a git repository");
      }
    }
    // The enclosing checkout was neither fetched into nor reset.
    EXPECT_EQ(read_text(outer + "/file"), "edit\n");
    EXPECT_EQ(head_of(outer), second);

    for (const auto& at : {empty, inner_empty}) {
      auto cloned = apply_git(checkout(at, {{"ref", text("annot")}}), false);
      ASSERT_TRUE(cloned) << error_of(cloned);
      EXPECT_EQ(cloned->diff, "cloned " + origin() + " -> " + at);
      EXPECT_EQ(head_of(at), first);
    }
    EXPECT_EQ(head_of(outer), second);
  });
}

TEST_F(GitResource, AbsentRemovesThePath) {
  const std::string at = path("co"), file = path("plain-file"), target = path("target"), link = path("link");
  sandbox.run_in_process([&] {
    ASSERT_TRUE(apply_git(checkout(at), false));
    ASSERT_NO_FATAL_FAILURE(
        sh("echo x > " + file + " && mkdir " + target + " && echo x > " + target + "/kept && ln -s " + target +
           " " + link));
    const TomlTable absent = {{"state", text("absent")}};

    auto previewed = apply_git(checkout(at, absent), true);
    ASSERT_TRUE(previewed) << error_of(previewed);
    EXPECT_EQ(previewed->status, ResourceStatus::Changed);
    EXPECT_EQ(previewed->diff, "remove " + at);
    EXPECT_TRUE(fs::exists(at + "/.git"));

    auto removed = apply_git(checkout(at, absent), false);
    ASSERT_TRUE(removed) << error_of(removed);
    EXPECT_EQ(removed->diff, "remove " + at);
    EXPECT_FALSE(fs::exists(fs::symlink_status(at)));
    EXPECT_EQ(apply_git(checkout(at, absent), false)->status, ResourceStatus::Ok);

    EXPECT_EQ(error_of(apply_git(checkout(file, absent), false)),
              "resource error: failed to remove " + file + ": Not a directory (os error 20)");
    EXPECT_TRUE(fs::exists(file));

    auto unlinked = apply_git(checkout(link, absent), false);
    ASSERT_TRUE(unlinked) << error_of(unlinked);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    EXPECT_TRUE(fs::exists(target + "/kept")) << "only the link goes";

    // Asked in dry run only: the refusal comes before the dry-run test.
    for (const std::string root : {"/", "//", "/tmp/.."}) {
      EXPECT_EQ(error_of(apply_git(checkout(root, absent), true)), "resource error: git resource: refusing to remove " + root);
    }
  });
  EXPECT_EQ(sandbox.invocations_of("git").size(), 2u) << "removal runs no git beyond the first clone";
}

TEST_F(GitResource, LinksOfAnotherUserFollowTheSameRule) {
  const std::string target = path("root-owned"), link = path("users-link");
  sandbox.run_in_process([&] {
    ASSERT_NO_FATAL_FAILURE(sh("mkdir " + target + " && echo x > " + target + "/kept && ln -s " + target + " " + link +
                               " && chown -h 65534:65534 " + link));
    // git would clone into, or reset, the directory the link leads to.
    EXPECT_EQ(error_of(apply_git(checkout(link), false)),
              "resource error: refusing to follow symbolic link " + link + " in " + link +
                  ": it is owned by uid 65534 but leads to a file owned by uid 0");
    // Removal takes the link alone, trailing slash or not.
    auto unlinked = apply_git(checkout(link + "/", {{"state", text("absent")}}), false);
    ASSERT_TRUE(unlinked) << error_of(unlinked);
    EXPECT_EQ(unlinked->diff, "remove " + link + "/");
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    EXPECT_TRUE(fs::exists(target + "/kept"));
  });
  EXPECT_TRUE(sandbox.invocations_of("git").empty());
}

TEST_F(GitResource, PropertyErrors) {
  sandbox.run_in_process([&] {
    const struct {
      TomlTable props;
      std::string error;
    } cases[] = {
        {{{"path", text("p")}, {"state", text("absent")}}, "git resource requires 'url'"},
        {{{"url", TomlValue{std::int64_t{1}}}}, "git resource requires 'url'"},
        {{{"url", text(origin())}}, "git resource requires 'path'"},
        {{{"url", text(origin())}, {"path", text("p")}, {"state", text("Present")}},
         "git resource: unknown state 'Present'; expected 'present' or 'absent'"},
        {{{"url", text("--upload-pack=touch pwned")}, {"path", text("p")}},
         "git resource: 'url' must not begin with '-': --upload-pack=touch pwned"},
        {{{"url", text(origin())}, {"path", text("--upload-pack=touch pwned")}},
         "git resource: 'path' must not begin with '-': --upload-pack=touch pwned"},
        {{{"url", text(origin())}, {"path", text("p")}, {"ref", text("--orphan")}},
         "git resource: 'ref' must not begin with '-': --orphan"},
        {{{"url", text(origin())}, {"path", text(std::string("p\0q", 3))}, {"state", text("absent")}},
         "git resource: 'path' contains a NUL byte"},
        {{{"url", text(origin())}, {"path", text("p")}, {"depth", text(std::string("1\0", 2))}},
         "git resource: 'depth' contains a NUL byte"},
    };
    for (const auto& c : cases) {
      EXPECT_EQ(error_of(apply_git(git_resource(c.props), false)), "resource error: " + c.error);
    }
  });
  EXPECT_EQ(sandbox.invocations(), std::vector<Invocation>{}) << "nothing runs for a refused resource";
  EXPECT_FALSE(fs::exists(sandbox.scratch_dir() / "pwned"));
  EXPECT_FALSE(fs::exists(sandbox.scratch_dir() / "p"));
}

TEST_F(GitResource, GitFailuresCarryItsStandardError) {
  const std::string at = path("co");
  sandbox.run_in_process([&] {
    const auto clone_failed = error_of(apply_git(git_resource({{"url", text(path("nowhere.git"))}, {"path", text(at)}}), false));
    EXPECT_TRUE(clone_failed.starts_with("resource error: git clone failed: fatal: ")) << clone_failed;

    ASSERT_TRUE(apply_git(checkout(at), false));
    EXPECT_EQ(error_of(apply_git(checkout(at, {{"ref", text("nope")}}), false)),
              "resource error: failed to resolve git ref 'nope': fatal: Needed a single revision\n");

    fs::rename(origin(), path("moved.git"));
    const auto fetch_failed = error_of(apply_git(checkout(at), false));
    EXPECT_TRUE(fetch_failed.starts_with("resource error: git fetch failed: ")) << fetch_failed;
  });
}

// A stalled fetch or clone ends: every git the agent starts has git's own
// low-speed abort in its environment (less than 1 KiB/s over 30 seconds).
TEST_F(GitResource, EveryGitGetsTheLowSpeedBoundInItsEnvironment) {
  // Logs the subcommand and the two variables, then runs the real git.
  sandbox.add_fake("git", R"(printf '%s %s %s\n' "$1" "${GIT_HTTP_LOW_SPEED_LIMIT-unset}" "${GIT_HTTP_LOW_SPEED_TIME-unset}" \
  >> "$TOLN_FAKE_STATE/git-env"
exec /usr/bin/git "$@")");
  const std::string at = path("co");
  sandbox.run_in_process([&] {
    ASSERT_TRUE(apply_git(checkout(at, {{"ref", text(first.substr(0, 8))}}), false));
    ASSERT_TRUE(apply_git(checkout(at, {{"ref", text("main")}}), false));
  });
  EXPECT_EQ(read_text(sandbox.state_dir() / "git-env"),
            "config 1024 30\nclone 1024 30\ncheckout 1024 30\n"
            "rev-parse 1024 30\nconfig 1024 30\nfetch 1024 30\nrev-parse 1024 30\nrev-parse 1024 30\n"
            "checkout 1024 30\nreset 1024 30\n");
  EXPECT_EQ(head_of(at), second);
}

TEST_F(GitResource, EndToEndThroughTheAgent) {
  const std::string at = path("e2e");
  const std::string bundle = "host = \"h\"\n[[resources]]\nresource_type = \"git\"\nname = \"src\"\n"
                             "props = { url = \"" + origin() + "\", path = \"" + at + "\", ref = \"annot\" }\n";
  const auto first_run = sandbox.run_agent({}, bundle);
  EXPECT_EQ(first_run.exit_status, 0) << first_run.err;
  EXPECT_EQ(first_run.out, R"({"host":"h","resources":[{"type":"git","name":"src","status":"changed","diff":"cloned )" +
                               origin() + " -> " + at +
                               R"("}],"summary":{"changed":1,"ok":0,"failed":0,"skipped":0}})" "\n");
  const auto second_run = sandbox.run_agent({}, bundle);
  EXPECT_EQ(second_run.exit_status, 1) << second_run.out;
  EXPECT_EQ(second_run.out,
            R"({"host":"h","resources":[{"type":"git","name":"src","status":"ok"}],"summary":{"changed":0,"ok":1,"failed":0,"skipped":0}})"
            "\n");
}

// A server that accepts the connection and never answers must not hold a
// run: ssh, when git starts it for a clone or a fetch, gets the same bounds
// as an http transfer, unless the operator chose how git starts ssh. A fake
// ssh logs how it was started and fails.
TEST_F(GitResource, SshIsBoundedUnlessTheOperatorChoseOtherwise) {
  sandbox.add_fake("ssh", "exit 255");
  const fs::path operator_config = sandbox.scratch_dir() / "operator.gitconfig";
  write_file(operator_config, "[core]\n\tsshCommand = ssh -o TolnConfigured=yes\n");
  const std::vector<std::string> bounded = {"-o", "ConnectTimeout=30", "-o", "ServerAliveInterval=15",
                                            "-o", "ServerAliveCountMax=2"};
  const struct {
    std::string name;
    std::string url;
    std::vector<std::pair<std::string, std::string>> env;
    std::vector<std::string> first_args;  // of ssh, after its name
  } cases[] = {
      {"ssh URL", "ssh://toln.invalid/repo.git", {}, bounded},
      {"scp-like URL", "git@toln.invalid:repo.git", {}, bounded},
      {"operator's GIT_SSH_COMMAND", "ssh://toln.invalid/repo.git",
       {{"GIT_SSH_COMMAND", "ssh -o TolnOperator=yes"}}, {"-o", "TolnOperator=yes"}},
      {"operator's core.sshCommand", "ssh://toln.invalid/repo.git",
       {{"GIT_CONFIG_GLOBAL", operator_config.string()}}, {"-o", "TolnConfigured=yes"}},
      {"operator's GIT_SSH", "ssh://toln.invalid/repo.git", {{"GIT_SSH", "/usr/local/sbin/ssh"}}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clear_invocations();
    sandbox.run_in_process([&] {
      for (const auto& [name, value] : c.env) ::setenv(name.c_str(), value.c_str(), 1);
      const auto failed = error_of(apply_git(git_resource({{"url", text(c.url)}, {"path", text(path("co"))}}), false));
      EXPECT_TRUE(failed.starts_with("resource error: git clone failed: ")) << failed;
    });
    const auto calls = sandbox.invocations_of("ssh");
    ASSERT_FALSE(calls.empty());
    const Invocation& call = calls.front();
    EXPECT_TRUE(std::equal(c.first_args.begin(), c.first_args.end(), call.begin() + 1)) << ::testing::PrintToString(call);
    if (c.first_args != bounded) {
      EXPECT_EQ(std::find(call.begin(), call.end(), "ConnectTimeout=30"), call.end()) << ::testing::PrintToString(call);
    }
    EXPECT_FALSE(fs::exists(path("co")));
  }

  // A fetch is bounded the same way.
  const std::string at = path("fetched");
  sandbox.run_in_process([&] {
    ASSERT_TRUE(apply_git(checkout(at), false));
    sh("git -C " + at + " remote set-url origin ssh://toln.invalid/repo.git");
  });
  clear_invocations();
  sandbox.run_in_process([&] {
    const auto failed = error_of(apply_git(checkout(at), false));
    EXPECT_TRUE(failed.starts_with("resource error: git fetch failed: ")) << failed;
  });
  const auto calls = sandbox.invocations_of("ssh");
  ASSERT_FALSE(calls.empty());
  EXPECT_TRUE(std::equal(bounded.begin(), bounded.end(), calls.front().begin() + 1))
      << ::testing::PrintToString(calls.front());
}

// A clone that is killed part-way (here the agent itself, while a fake git
// has made part of the checkout) leaves nothing at the path, so the next run
// clones again instead of failing on a half-made checkout; it also removes
// what the killed clone left, and nothing else.
TEST_F(GitResource, AKilledCloneLeavesNoHalfMadeCheckout) {
  const std::string at = path("co");
  const std::string bundle = "host = \"h\"\n[[resources]]\nresource_type = \"git\"\nname = \"src\"\n"
                             "props = { url = \"" + origin() + "\", path = \"" + at + "\" }\n";
  sandbox.add_fake("git", R"([ "$1" = clone ] || exec /usr/bin/git "$@"
eval "target=\${$#}"
mkdir -p "$target/.git" && echo half > "$target/half"
kill -KILL $PPID
exit 1)");
  const RunResult killed = sandbox.run_agent({}, bundle);
  EXPECT_EQ(killed.term_signal, SIGKILL) << killed.out << killed.err;
  EXPECT_FALSE(fs::exists(fs::symlink_status(at)));
  std::vector<std::string> left = dir_names(sandbox.scratch_dir());
  std::erase_if(left, [](const std::string& name) { return !name.starts_with(".co.toln-clone."); });
  ASSERT_EQ(left.size(), 1u) << ::testing::PrintToString(dir_names(sandbox.scratch_dir()));
  const std::string leftover = left.front();
  EXPECT_TRUE(fs::exists(sandbox.scratch_dir() / leftover / "half"));

  // Names like the agent's that it did not leave: another user's directory,
  // a link to a directory of root's, and a name that does not fit.
  const RunResult planted = sandbox.run_in_namespace(
      "set -e; cd " + sandbox.scratch_dir().string() + "; mkdir .co.toln-clone.0123456789abcdef keep;"
      " chown 65534:65534 .co.toln-clone.0123456789abcdef; echo x > keep/kept;"
      " ln -s keep .co.toln-clone.fedcba9876543210; mkdir .co.toln-clone.0123456789abcdeX");
  ASSERT_EQ(planted.exit_status, 0) << planted.err;

  sandbox.add_fake("git", R"(exec /usr/bin/git "$@")");
  const RunResult again = sandbox.run_agent({}, bundle);
  EXPECT_EQ(again.exit_status, 0) << again.out << again.err;
  EXPECT_NE(again.out.find(R"("status":"changed","diff":"cloned )"), std::string::npos) << again.out;
  EXPECT_EQ(head_of(at), second);
  EXPECT_FALSE(fs::exists(sandbox.scratch_dir() / leftover));
  EXPECT_TRUE(fs::exists(sandbox.scratch_dir() / ".co.toln-clone.0123456789abcdef"));
  EXPECT_TRUE(fs::is_symlink(sandbox.scratch_dir() / ".co.toln-clone.fedcba9876543210"));
  EXPECT_TRUE(fs::exists(sandbox.scratch_dir() / "keep/kept"));
  EXPECT_TRUE(fs::exists(sandbox.scratch_dir() / ".co.toln-clone.0123456789abcdeX"));
}

// git clones in a private directory, but a relative url naming a local
// repository means what it meant from the agent's working directory (here
// the scratch directory), and a relative path lands there too.
TEST_F(GitResource, RelativeUrlAndPathAreTakenFromTheWorkingDirectory) {
  sandbox.run_in_process([&] {
    auto cloned = apply_git(git_resource({{"url", text("origin.git")}, {"path", text("rel/co")}}), false);
    ASSERT_TRUE(cloned) << error_of(cloned);
    EXPECT_EQ(cloned->diff, "cloned origin.git -> rel/co");
  });
  EXPECT_EQ(head_of(path("rel/co")), second);
}

// An empty directory at the path is replaced by the checkout, which keeps
// the directory's owner, group and mode, as when git cloned into it.
TEST_F(GitResource, AnEmptyDirectoryKeepsItsOwnerAndMode) {
  const std::string at = path("empty");
  sandbox.run_in_process([&] {
    sh("mkdir " + at + " && chown 65534:65534 " + at + " && chmod 2750 " + at);
    auto cloned = apply_git(checkout(at), false);
    ASSERT_TRUE(cloned) << error_of(cloned);
    EXPECT_EQ(cloned->diff, "cloned " + origin() + " -> " + at);
  });
  const struct stat st = lstat_of(at);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(st.st_mode & 07777, 02750u);
  EXPECT_EQ(lstat_of(at + "/.git").st_uid, 0u);
}

}  // namespace
}  // namespace toln
