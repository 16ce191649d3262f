#pragma once
// The git commands of the git resource: how git is started, the clone
// arguments and the resolving of revisions to commits. Every command starts
// in a directory the agent resolved and holds open (a descriptor), so git
// never walks a path of its own that someone could have changed since it
// was checked.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/process.hpp"
#include "model/result.hpp"

namespace toln {

// What every git command runs with: started in dir, with the agent's
// low-speed bound in its environment (GIT_HTTP_LOW_SPEED_LIMIT,
// GIT_HTTP_LOW_SPEED_TIME), so a fetch or clone from a stalled http server
// ends.
RunOptions git_options(int dir);

// The same for a command that reaches the remote (clone, fetch), with ssh
// bounded as well (GIT_SSH_COMMAND, transfer_bounds::git_ssh_command),
// unless the operator chose how git starts ssh: GIT_SSH_COMMAND or GIT_SSH
// in the agent's environment, or core.sshCommand in a configuration git
// reads in dir (asked of "git config --get", one more git run). Those are
// left alone. The runner's error when git cannot start.
Result<RunOptions> git_remote_options(int dir);

// A ref of 7 to 40 hexadecimal digits is taken for a commit id; anything
// else names a branch or a tag.
bool is_commit_id(std::string_view ref);

// "clone", "--branch" REF (a ref that is not a commit id), "--depth" DEPTH
// (given), URL, TARGET.
std::vector<std::string> git_clone_args(const std::string& url, const std::string& target,
                                        const std::optional<std::string>& ref, const std::optional<std::string>& depth);

// What "rev-parse --verify {revision}" prints in the repository open as dir,
// trimmed. The runner's error when git cannot start; "failed to resolve git
// ref '{}': {}" with the revision and git's standard error when it fails.
Result<std::string> git_rev_parse(int dir, const std::string& revision);

// The commit to move to: the remote branch "origin/{ref}" when there is one,
// else the ref itself (a tag or a commit id); without a ref, FETCH_HEAD.
// Each is resolved as "{}^{commit}", so that an annotated tag gives its
// commit rather than the tag object, which never equals the commit at HEAD.
Result<std::string> git_resolve_target(int dir, const std::optional<std::string>& ref);

}  // namespace toln
