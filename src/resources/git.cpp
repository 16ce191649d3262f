#include "resources/git.hpp"

#include <sys/stat.h>

#include "host/dir_listing.hpp"
#include "host/process.hpp"
#include "host/safe_path.hpp"
#include "resources/argument_checks.hpp"
#include "resources/git_clone.hpp"
#include "resources/git_commands.hpp"
#include "resources/props.hpp"

namespace toln {
namespace {

Status check_arguments(const CloneRequest& wanted) {
  if (auto checked = require_not_option_like("git", "'url'", wanted.url); !checked) return checked;
  if (auto checked = require_not_option_like("git", "'path'", wanted.path); !checked) return checked;
  if (wanted.ref) {
    if (auto checked = require_not_option_like("git", "'ref'", *wanted.ref); !checked) return checked;
  }
  if (wanted.depth) return require_no_nul_byte("git", "'depth'", *wanted.depth);
  return {};
}

// git looks for a repository upwards from where it starts, so the probe
// alone would take a directory inside another checkout for a repository,
// and the fetch, checkout and hard reset would then act on that other
// checkout. Only a directory that holds its own ".git" counts.
bool is_repository(int dir) {
  struct stat st {};
  if (::fstatat(dir, ".git", &st, 0) != 0) return false;
  auto probe = run(host_programs::git({"rev-parse", "--verify", "HEAD"}), git_options(dir));
  return probe && probe->status == 0;
}

bool is_empty_directory(int dir) { return !DirListing(dir).next(); }

HandlerResult remove_checkout(const ResolvedResource& resource, const CloneRequest& wanted, bool dry_run) {
  // A link at the path is what gets removed, never what it leads to; it
  // counts as there when it leads somewhere.
  auto resolved = resolve_path(wanted.path, LastLink::Keep);
  if (!resolved) return std::move(resolved).error();
  if (!leads_somewhere(*resolved)) return result_ok("git", resource.name);
  if (is_root_directory(*resolved, wanted.path)) {
    return AgentError::resource("git resource: refusing to remove " + wanted.path);
  }
  if (!dry_run) {
    if (auto removed = remove_dir_all(*resolved, wanted.path); !removed) return std::move(removed).error();
  }
  return result_changed("git", resource.name, "remove " + wanted.path);
}

HandlerResult preview_update(const ResolvedResource& resource, const CloneRequest& wanted, int dir) {
  const auto target = git_resolve_target(dir, wanted.ref);
  const auto head = git_rev_parse(dir, "HEAD");
  if (target && head && *target == *head) return result_ok("git", resource.name);
  return result_changed("git", resource.name, "would update " + wanted.path + " to " + wanted.ref.value_or("HEAD"));
}

HandlerResult update_checkout(const ResolvedResource& resource, const CloneRequest& wanted, int dir) {
  auto remote = git_remote_options(dir);
  if (!remote) return std::move(remote).error();
  if (auto fetched = run_checked(host_programs::git({"fetch", "--tags", "origin"}), "git fetch", *remote);
      !fetched) {
    return std::move(fetched).error();
  }
  auto target = git_resolve_target(dir, wanted.ref);
  if (!target) return std::move(target).error();
  auto head = git_rev_parse(dir, "HEAD");
  if (!head) return std::move(head).error();
  if (*target == *head) return result_ok("git", resource.name);

  const std::string revision = wanted.ref.value_or("HEAD");
  if (auto moved = run_checked(host_programs::git({"checkout", revision}), "git checkout", git_options(dir));
      !moved) {
    return std::move(moved).error();
  }
  if (auto reset = run_checked(host_programs::git({"reset", "--hard", *target}), "git reset", git_options(dir));
      !reset) {
    return std::move(reset).error();
  }
  return result_changed("git", resource.name, "checkout " + revision);
}

HandlerResult keep_checkout(const ResolvedResource& resource, const CloneRequest& wanted, bool dry_run) {
  // Checked once: git then starts in the directory this resolved, and a
  // clone is moved in beside it, so a link swapped in on the way afterwards
  // leads nowhere.
  auto resolved = resolve_path(wanted.path, LastLink::Follow);
  if (!resolved) return std::move(resolved).error();
  const bool is_dir = resolved->exists() && S_ISDIR(resolved->st.st_mode);
  if (is_dir && is_repository(resolved->object.get())) {
    return dry_run ? preview_update(resource, wanted, resolved->object.get())
                   : update_checkout(resource, wanted, resolved->object.get());
  }
  // A special file is no more a checkout than a regular one, and a link
  // that leads nowhere is no place for one.
  if ((resolved->exists() && (!is_dir || !is_empty_directory(resolved->object.get()))) ||
      (!resolved->exists() && resolved->is_link)) {
    return result_failed("git", resource.name, "path exists and is not a git repository");
  }
  if (dry_run) return result_changed("git", resource.name, "would clone " + wanted.url + " -> " + wanted.path);
  if (auto cloned = clone_into_place(wanted, std::move(*resolved)); !cloned) return std::move(cloned).error();
  return result_changed("git", resource.name, "cloned " + wanted.url + " -> " + wanted.path);
}

}  // namespace

HandlerResult apply_git(const ResolvedResource& resource, bool dry_run) {
  auto url = prop_required(resource, "url");
  if (!url) return std::move(url).error();
  auto path = prop_required(resource, "path");
  if (!path) return std::move(path).error();
  const CloneRequest wanted{std::move(*url), std::move(*path), prop_str(resource, "ref"), prop_str(resource, "depth")};
  const std::string state = prop_str_or(resource, "state", "present");
  if (auto checked = check_arguments(wanted); !checked) return std::move(checked).error();

  if (state == "absent") return remove_checkout(resource, wanted, dry_run);
  if (state == "present") return keep_checkout(resource, wanted, dry_run);
  return AgentError::resource("git resource: unknown state '" + state + "'; expected 'present' or 'absent'");
}

}  // namespace toln
