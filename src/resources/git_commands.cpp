#include "resources/git_commands.hpp"

#include "host/process.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

Result<CommandOutput> run_rev_parse(const std::string& path, const std::string& revision) {
  return run_git(host_programs::git_in(path, {"rev-parse", "--verify", revision}));
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
Result<CommandOutput> run_rev_parse_commit(const std::string& path, const std::string& revision) {
  return run_rev_parse(path, revision + "^{commit}");
}

}  // namespace

Result<CommandOutput> run_git(const HostCommand& command) {
  static const EnvEntries bounds = {{"GIT_HTTP_LOW_SPEED_LIMIT", host_programs::transfer_bounds::low_speed_limit},
                                    {"GIT_HTTP_LOW_SPEED_TIME", host_programs::transfer_bounds::low_speed_time()}};
  return run_command_env(command.program, command.args, bounds);
}

Status run_git_checked(const HostCommand& command, std::string_view label) {
  auto output = run_git(command);
  if (!output) return std::move(output).error();
  if (output->status != 0) {
    return AgentError::resource(std::string(label) + " failed: " + stderr_text(*output));
  }
  return {};
}

bool is_commit_id(std::string_view ref) {
  if (ref.size() < 7 || ref.size() > 40) return false;
  for (const char c : ref) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return false;
  }
  return true;
}

std::vector<std::string> git_clone_args(const std::string& url, const std::string& path,
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
  args.push_back(path);
  return args;
}

Result<std::string> git_rev_parse(const std::string& path, const std::string& revision) {
  return resolved_commit(revision, run_rev_parse(path, revision));
}

Result<std::string> git_resolve_target(const std::string& path, const std::optional<std::string>& ref) {
  if (!ref) return resolved_commit("FETCH_HEAD", run_rev_parse_commit(path, "FETCH_HEAD"));
  auto remote_branch = run_rev_parse_commit(path, "origin/" + *ref);
  if (!remote_branch) return std::move(remote_branch).error();
  if (remote_branch->status == 0) return commit_of(*remote_branch);
  return resolved_commit(*ref, run_rev_parse_commit(path, *ref));
}

}  // namespace toln
