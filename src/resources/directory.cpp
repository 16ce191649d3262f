#include "resources/directory.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <charconv>

#include "host/file_services.hpp"
#include "host/process.hpp"
#include "resources/argument_checks.hpp"
#include "resources/ls_listing.hpp"
#include "resources/props.hpp"

namespace toln {
namespace {

AgentError create_failed_error(const std::string& path, int errnum) {
  return AgentError::resource("failed to create " + path + ": " + os_error_text(errnum));
}

HandlerResult remove_directory(const ResolvedResource& resource, const std::string& path, bool dry_run) {
  if (!stat_path(path)) return result_ok("directory", resource.name);
  if (is_root_directory(path)) return AgentError::resource("directory resource: refusing to remove " + path);
  std::vector<FieldChange> records{change_delete("directory", path)};
  if (dry_run) return result_with_changes(result_changed("directory", resource.name, "would remove " + path), records);
  if (const int error = remove_dir_all(path); error != 0) return remove_failed_error(path, error);
  return result_with_changes(result_changed("directory", resource.name, "removed " + path), records);
}

// A user or group id written as a decimal number (one leading "+" allowed).
std::optional<std::uint32_t> numeric_id(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  std::uint32_t id = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return id;
}

// Whether the owner (or group) differs: a numeric one by id, a name by the
// listing's column.
Result<bool> differs(const std::string& path, const std::string& wanted, std::uint32_t current_id,
                     Result<std::string> (*listed)(const std::string&)) {
  if (const auto id = numeric_id(wanted)) return *id != current_id;
  auto name = listed(path);
  if (!name) return std::move(name).error();
  return *name != wanted;
}

struct Changes {
  std::vector<std::string> messages;
  std::vector<FieldChange> records;
};

Status apply_ownership(const ResolvedResource& resource, const std::string& path, bool dry_run, Changes& changes) {
  const auto owner = prop_str(resource, "owner");
  const auto group = prop_str(resource, "group");
  if (!owner && !group) return {};
  const auto st = stat_path(path);
  if (!st) return {};
  bool fires = false;
  if (owner) {
    auto owner_differs = differs(path, *owner, st->st_uid, listed_owner);
    if (!owner_differs) return std::move(owner_differs).error();
    fires = *owner_differs;
  }
  if (group) {
    auto group_differs = differs(path, *group, st->st_gid, listed_group);
    if (!group_differs) return std::move(group_differs).error();
    fires = fires || *group_differs;
  }
  if (!fires) return {};
  const std::string ownership = owner && group ? *owner + ":" + *group : owner ? *owner : ":" + *group;
  changes.messages.push_back("owner/group -> " + ownership);
  changes.records.push_back({"owner_group", ChangeAction::Update, std::nullopt, ownership});
  if (dry_run) return {};
  return run_checked(host_programs::chown(prop_bool(resource, "recurse").value_or(false), ownership, path), "chown");
}

}  // namespace

HandlerResult apply_directory(const ResolvedResource& resource, bool dry_run) {
  auto path_prop = prop_required(resource, "path");
  if (!path_prop) return std::move(path_prop).error();
  // The path reaches "ls" and "chown" as an argument.
  if (auto checked = require_not_option_like("directory", "'path'", *path_prop); !checked) {
    return std::move(checked).error();
  }
  const std::string& path = *path_prop;
  if (prop_str_or(resource, "state", "present") == "absent") return remove_directory(resource, path, dry_run);

  Changes changes;
  if (const auto st = stat_path(path); !st) {
    changes.messages.push_back("create " + path);
    changes.records.push_back(change_create("directory", path));
    if (!dry_run) {
      if (const int error = create_dir_all(path); error != 0) return create_failed_error(path, error);
    }
  } else if (!S_ISDIR(st->st_mode)) {
    // Reporting the directory present would hide that there is none.
    return AgentError::resource(path + " exists and is not a directory");
  }

  if (const auto mode_text = prop_str(resource, "mode")) {
    auto mode = parse_mode(*mode_text);
    if (!mode) return std::move(mode).error();
    if (const auto st = stat_path(path); st && (st->st_mode & 07777) != *mode) {
      const std::uint32_t current = st->st_mode & 07777;
      changes.messages.push_back("mode " + format_mode(current) + " \u2192 " + format_mode(*mode));
      changes.records.push_back(change_update("mode", format_mode(current), format_mode(*mode)));
      if (!dry_run && ::chmod(path.c_str(), *mode) != 0) return chmod_failed_error(path, errno);
    }
  }

  if (auto owned = apply_ownership(resource, path, dry_run, changes); !owned) return std::move(owned).error();
  return result_with_changes(result_from_messages("directory", resource.name, changes.messages),
                             std::move(changes.records));
}

}  // namespace toln
