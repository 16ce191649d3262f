#include "resources/git_commands.hpp"

#include <cstdlib>

#include "host/process.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

Result<CommandOutput> run_rev_parse(int dir, const std::string& revision) {
  return run(host_programs::git({"rev-parse", "--verify", revision}), git_options(dir));
}

std::string commit_of(const CommandOutput& output) { return std::string(trim_white(lossy_utf8(output.stdout_bytes))); }

Result<std::string> resolved_commit(const std::string& revision, Result<CommandOutput> ran) {
  if (!ran) return std::move(ran).error();
  if (ran->status != 0) {
    return AgentError::resource("failed to resolve git ref '" + revision + "': " + stderr_text(*ran));
  }
  return commit_of(*ran);
}

// A target is peeled to its commit: an annotated tag's name alone gives the
// tag object, which never equals the commit at HEAD.
Result<CommandOutput> run_rev_parse_commit(int dir, const std::string& revision) {
  return run_rev_parse(dir, revision + "^{commit}");
}

// Whether the operator chose how git starts ssh. git takes GIT_SSH_COMMAND
// before core.sshCommand before GIT_SSH, so setting the first would
// override any of them.
Result<bool> ssh_is_chosen(const RunOptions& options) {
  if (std::getenv("GIT_SSH_COMMAND") || std::getenv("GIT_SSH")) return true;
  auto configured = run(host_programs::git({"config", "--get", "core.sshCommand"}), options);
  if (!configured) return std::move(configured).error();
  return configured->status == 0;
}

}  // namespace

RunOptions git_options(int dir) {
  return {.env = {{"GIT_HTTP_LOW_SPEED_LIMIT", host_programs::transfer_bounds::low_speed_limit},
                  {"GIT_HTTP_LOW_SPEED_TIME", host_programs::transfer_bounds::low_speed_time()}},
          .working_dir = dir};
}

Result<RunOptions> git_remote_options(int dir) {
  RunOptions options = git_options(dir);
  auto chosen = ssh_is_chosen(options);
  if (!chosen) return std::move(chosen).error();
  if (!*chosen) options.env.emplace("GIT_SSH_COMMAND", host_programs::transfer_bounds::git_ssh_command);
  return options;
}

bool is_commit_id(std::string_view ref) {
  if (ref.size() < 7 || ref.size() > 40) return false;
  for (const char c : ref) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return false;
  }
  return true;
}

std::vector<std::string> git_clone_args(const std::string& url, const std::string& target,
                                        const std::optional<std::string>& ref, const std::optional<std::string>& depth) {
  std::vector<std::string> args = {"clone"};
  if (ref && !is_commit_id(*ref)) {
    args.push_back("--branch");
    args.push_back(*ref);
  }
  if (depth) {
    args.push_back("--depth");
    args.push_back(*depth);
  }
  args.push_back(url);
  args.push_back(target);
  return args;
}

Result<std::string> git_rev_parse(int dir, const std::string& revision) {
  return resolved_commit(revision, run_rev_parse(dir, revision));
}

Result<std::string> git_resolve_target(int dir, const std::optional<std::string>& ref) {
  if (!ref) return resolved_commit("FETCH_HEAD", run_rev_parse_commit(dir, "FETCH_HEAD"));
  auto remote_branch = run_rev_parse_commit(dir, "origin/" + *ref);
  if (!remote_branch) return std::move(remote_branch).error();
  if (remote_branch->status == 0) return commit_of(*remote_branch);
  return resolved_commit(*ref, run_rev_parse_commit(dir, *ref));
}

}  // namespace toln
