#pragma once
// The git commands of the git resource: clone arguments and the resolving of
// revisions to commits.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/process.hpp"
#include "model/result.hpp"

namespace toln {

// What every git command runs with: the agent's low-speed bound in its
// environment (GIT_HTTP_LOW_SPEED_LIMIT, GIT_HTTP_LOW_SPEED_TIME), so a fetch
// or clone from a stalled server ends.
const RunOptions& git_run_options();

// A ref of 7 to 40 hexadecimal digits is taken for a commit id; anything
// else names a branch or a tag.
bool is_commit_id(std::string_view ref);

// "clone", "--branch" REF (a ref that is not a commit id), "--depth" DEPTH
// (given), URL, PATH.
std::vector<std::string> git_clone_args(const std::string& url, const std::string& path,
                                        const std::optional<std::string>& ref, const std::optional<std::string>& depth);

// What "rev-parse --verify {revision}" prints in the repository at path,
// trimmed. The runner's error when git cannot start; "failed to resolve git
// ref '{}': {}" with the revision and git's standard error when it fails.
Result<std::string> git_rev_parse(const std::string& path, const std::string& revision);

// The commit to move to: the remote branch "origin/{ref}" when there is one,
// else the ref itself (a tag or a commit id); without a ref, FETCH_HEAD.
// Each is resolved as "{}^{commit}", so that an annotated tag gives its
// commit rather than the tag object, which never equals the commit at HEAD.
Result<std::string> git_resolve_target(const std::string& path, const std::optional<std::string>& ref);

}  // namespace toln
