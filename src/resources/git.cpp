#include "resources/git.hpp"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "host/file_services.hpp"
#include "host/paths.hpp"
#include "host/process.hpp"
#include "resources/argument_checks.hpp"
#include "resources/git_commands.hpp"
#include "resources/props.hpp"

namespace toln {
namespace {

struct GitSpec {
  std::string url;
  std::string path;
  std::optional<std::string> ref;
  std::optional<std::string> depth;
};

Status check_arguments(const GitSpec& spec) {
  if (auto checked = require_not_option_like("git", "'url'", spec.url); !checked) return checked;
  if (auto checked = require_not_option_like("git", "'path'", spec.path); !checked) return checked;
  if (spec.ref) {
    if (auto checked = require_not_option_like("git", "'ref'", *spec.ref); !checked) return checked;
  }
  if (spec.depth) return require_no_nul_byte("git", "'depth'", *spec.depth);
  return {};
}

// git looks for a repository upwards from the path, so the probe alone
// would take a directory inside another checkout for a repository, and the
// fetch, checkout and hard reset would then act on that other checkout.
// Only a path that holds its own ".git" counts.
bool is_repository(const std::string& path) {
  auto probe = run_command(host_programs::git_in(path, {"rev-parse", "--verify", "HEAD"}));
  return probe && probe->status == 0 && path_exists(path + "/.git");
}

bool is_nonempty_directory(const std::string& path) {
  std::error_code error;
  const std::filesystem::directory_iterator entries(path, error);
  return !error && entries != std::filesystem::directory_iterator();
}

// Whether removing the path would remove the whole file system tree ("/",
// "/tmp/..", or "." run from "/"). A symbolic link there is only unlinked.
bool is_root_directory(const std::string& path) {
  std::error_code error;
  if (std::filesystem::is_symlink(std::filesystem::symlink_status(path, error))) return false;
  return std::filesystem::canonical(path, error) == std::filesystem::path("/");
}

HandlerResult remove_checkout(const ResolvedResource& resource, const GitSpec& spec, bool dry_run) {
  if (!path_exists(spec.path)) return result_ok("git", resource.name);
  if (is_root_directory(spec.path)) return AgentError::resource("git resource: refusing to remove " + spec.path);
  if (!dry_run) {
    if (const int error = remove_dir_all(spec.path); error != 0) return remove_failed_error(spec.path, error);
  }
  return result_changed("git", resource.name, "remove " + spec.path);
}

HandlerResult preview_update(const ResolvedResource& resource, const GitSpec& spec) {
  const auto target = git_resolve_target(spec.path, spec.ref);
  const auto head = git_rev_parse(spec.path, "HEAD");
  if (target && head && *target == *head) return result_ok("git", resource.name);
  return result_changed("git", resource.name, "would update " + spec.path + " to " + spec.ref.value_or("HEAD"));
}

HandlerResult update_checkout(const ResolvedResource& resource, const GitSpec& spec) {
  if (auto fetched = run_checked(host_programs::git_in(spec.path, {"fetch", "--tags", "origin"}), "git fetch");
      !fetched) {
    return std::move(fetched).error();
  }
  auto target = git_resolve_target(spec.path, spec.ref);
  if (!target) return std::move(target).error();
  auto head = git_rev_parse(spec.path, "HEAD");
  if (!head) return std::move(head).error();
  if (*target == *head) return result_ok("git", resource.name);

  const std::string wanted = spec.ref.value_or("HEAD");
  if (auto moved = run_checked(host_programs::git_in(spec.path, {"checkout", wanted}), "git checkout"); !moved) {
    return std::move(moved).error();
  }
  if (auto reset = run_checked(host_programs::git_in(spec.path, {"reset", "--hard", *target}), "git reset");
      !reset) {
    return std::move(reset).error();
  }
  return result_changed("git", resource.name, "checkout " + wanted);
}

HandlerResult clone_checkout(const ResolvedResource& resource, const GitSpec& spec, bool dry_run) {
  if (dry_run) return result_changed("git", resource.name, "would clone " + spec.url + " -> " + spec.path);
  if (auto cloned = run_checked(host_programs::git(git_clone_args(spec.url, spec.path, spec.ref, spec.depth)),
                                "git clone");
      !cloned) {
    return std::move(cloned).error();
  }
  if (spec.ref && is_commit_id(*spec.ref)) {
    if (auto moved = run_checked(host_programs::git_in(spec.path, {"checkout", *spec.ref}), "git checkout");
        !moved) {
      return std::move(moved).error();
    }
  }
  return result_changed("git", resource.name, "cloned " + spec.url + " -> " + spec.path);
}

HandlerResult keep_checkout(const ResolvedResource& resource, const GitSpec& spec, bool dry_run) {
  if (is_repository(spec.path)) return dry_run ? preview_update(resource, spec) : update_checkout(resource, spec);
  const auto st = stat_path(spec.path);
  if (st && (S_ISREG(st->st_mode) || (S_ISDIR(st->st_mode) && is_nonempty_directory(spec.path)))) {
    return result_failed("git", resource.name, "path exists and is not a git repository");
  }
  return clone_checkout(resource, spec, dry_run);
}

}  // namespace

HandlerResult apply_git(const ResolvedResource& resource, bool dry_run) {
  auto url = prop_required(resource, "url");
  if (!url) return std::move(url).error();
  auto path = prop_required(resource, "path");
  if (!path) return std::move(path).error();
  const GitSpec spec{std::move(*url), std::move(*path), prop_str(resource, "ref"), prop_str(resource, "depth")};
  const std::string state = prop_str_or(resource, "state", "present");
  if (auto checked = check_arguments(spec); !checked) return std::move(checked).error();

  if (state == "absent") return remove_checkout(resource, spec, dry_run);
  if (state == "present") return keep_checkout(resource, spec, dry_run);
  return AgentError::resource("git resource: unknown state '" + state + "'; expected 'present' or 'absent'");
}

}  // namespace toln
