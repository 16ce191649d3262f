#include "resources/git.hpp"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "host/dir_tree.hpp"
#include "host/file_errors.hpp"
#include "host/path_checks.hpp"
#include "host/process.hpp"
#include "host/safe_path.hpp"
#include "resources/argument_checks.hpp"
#include "resources/git_commands.hpp"
#include "resources/props.hpp"

namespace toln {
namespace {

struct WantedCheckout {
  std::string url;
  std::string path;
  std::optional<std::string> ref;
  std::optional<std::string> depth;
};

Status check_arguments(const WantedCheckout& wanted) {
  if (auto checked = require_not_option_like("git", "'url'", wanted.url); !checked) return checked;
  if (auto checked = require_not_option_like("git", "'path'", wanted.path); !checked) return checked;
  if (wanted.ref) {
    if (auto checked = require_not_option_like("git", "'ref'", *wanted.ref); !checked) return checked;
  }
  if (wanted.depth) return require_no_nul_byte("git", "'depth'", *wanted.depth);
  return {};
}

// git looks for a repository upwards from the path, so the probe alone
// would take a directory inside another checkout for a repository, and the
// fetch, checkout and hard reset would then act on that other checkout.
// Only a path that holds its own ".git" counts.
bool is_repository(const std::string& path) {
  auto probe = run(host_programs::git_in(path, {"rev-parse", "--verify", "HEAD"}), git_run_options());
  return probe && probe->status == 0 && path_exists(path + "/.git");
}

bool is_nonempty_directory(const std::string& path) {
  std::error_code error;
  const std::filesystem::directory_iterator entries(path, error);
  return !error && entries != std::filesystem::directory_iterator();
}

HandlerResult remove_checkout(const ResolvedResource& resource, const WantedCheckout& wanted, bool dry_run) {
  // A link at the path is what gets removed, never what it leads to; it
  // counts as there when it leads somewhere.
  auto resolved = resolve_path(wanted.path, LastLink::Keep);
  if (!resolved) return std::move(resolved).error();
  if (!leads_somewhere(*resolved)) return result_ok("git", resource.name);
  if (is_root_directory(wanted.path)) return AgentError::resource("git resource: refusing to remove " + wanted.path);
  if (!dry_run) {
    auto removed = remove_dir_all(wanted.path);
    if (!removed) return std::move(removed).error();
    if (*removed != 0) return remove_failed_error(wanted.path, *removed);
  }
  return result_changed("git", resource.name, "remove " + wanted.path);
}

HandlerResult preview_update(const ResolvedResource& resource, const WantedCheckout& wanted) {
  const auto target = git_resolve_target(wanted.path, wanted.ref);
  const auto head = git_rev_parse(wanted.path, "HEAD");
  if (target && head && *target == *head) return result_ok("git", resource.name);
  return result_changed("git", resource.name, "would update " + wanted.path + " to " + wanted.ref.value_or("HEAD"));
}

HandlerResult update_checkout(const ResolvedResource& resource, const WantedCheckout& wanted) {
  if (auto fetched =
          run_checked(host_programs::git_in(wanted.path, {"fetch", "--tags", "origin"}), "git fetch", git_run_options());
      !fetched) {
    return std::move(fetched).error();
  }
  auto target = git_resolve_target(wanted.path, wanted.ref);
  if (!target) return std::move(target).error();
  auto head = git_rev_parse(wanted.path, "HEAD");
  if (!head) return std::move(head).error();
  if (*target == *head) return result_ok("git", resource.name);

  const std::string revision = wanted.ref.value_or("HEAD");
  if (auto moved =
          run_checked(host_programs::git_in(wanted.path, {"checkout", revision}), "git checkout", git_run_options());
      !moved) {
    return std::move(moved).error();
  }
  if (auto reset =
          run_checked(host_programs::git_in(wanted.path, {"reset", "--hard", *target}), "git reset", git_run_options());
      !reset) {
    return std::move(reset).error();
  }
  return result_changed("git", resource.name, "checkout " + revision);
}

HandlerResult clone_checkout(const ResolvedResource& resource, const WantedCheckout& wanted, bool dry_run) {
  if (dry_run) return result_changed("git", resource.name, "would clone " + wanted.url + " -> " + wanted.path);
  if (auto cloned = run_checked(host_programs::git(git_clone_args(wanted.url, wanted.path, wanted.ref, wanted.depth)),
                                "git clone", git_run_options());
      !cloned) {
    return std::move(cloned).error();
  }
  if (wanted.ref && is_commit_id(*wanted.ref)) {
    if (auto moved = run_checked(host_programs::git_in(wanted.path, {"checkout", *wanted.ref}), "git checkout",
                                 git_run_options());
        !moved) {
      return std::move(moved).error();
    }
  }
  return result_changed("git", resource.name, "cloned " + wanted.url + " -> " + wanted.path);
}

HandlerResult keep_checkout(const ResolvedResource& resource, const WantedCheckout& wanted, bool dry_run) {
  if (is_repository(wanted.path)) return dry_run ? preview_update(resource, wanted) : update_checkout(resource, wanted);
  const auto st = stat_path(wanted.path);
  // A special file is no more a checkout than a regular one (dry-run would
  // promise a clone that git then refuses).
  if (st && (!S_ISDIR(st->st_mode) || is_nonempty_directory(wanted.path))) {
    return result_failed("git", resource.name, "path exists and is not a git repository");
  }
  return clone_checkout(resource, wanted, dry_run);
}

}  // namespace

HandlerResult apply_git(const ResolvedResource& resource, bool dry_run) {
  auto url = prop_required(resource, "url");
  if (!url) return std::move(url).error();
  auto path = prop_required(resource, "path");
  if (!path) return std::move(path).error();
  const WantedCheckout wanted{std::move(*url), std::move(*path), prop_str(resource, "ref"), prop_str(resource, "depth")};
  const std::string state = prop_str_or(resource, "state", "present");
  if (auto checked = check_arguments(wanted); !checked) return std::move(checked).error();

  if (state == "absent") return remove_checkout(resource, wanted, dry_run);
  if (state == "present") {
    // git walks the path again itself; an unsafe link there is refused
    // before git is started at all.
    if (auto resolved = resolve_path(wanted.path, LastLink::Follow); !resolved) return std::move(resolved).error();
    return keep_checkout(resource, wanted, dry_run);
  }
  return AgentError::resource("git resource: unknown state '" + state + "'; expected 'present' or 'absent'");
}

}  // namespace toln
