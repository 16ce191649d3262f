#include "resources/directory.hpp"

#include <sys/stat.h>

#include <cerrno>

#include "host/file_errors.hpp"
#include "host/file_modes.hpp"
#include "host/owners.hpp"
#include "host/safe_path.hpp"
#include "host/shared_dirs.hpp"
#include "resources/argument_checks.hpp"
#include "resources/changes.hpp"
#include "resources/props.hpp"

namespace toln {
namespace {

HandlerResult remove_directory(const ResolvedResource& resource, const std::string& path, bool dry_run) {
  // A link at the path is what gets removed, never what it leads to; it
  // counts as there when it leads somewhere.
  auto resolved = resolve_path(path, LastLink::Keep);
  if (!resolved) return std::move(resolved).error();
  if (!leads_somewhere(*resolved)) return result_ok("directory", resource.name);
  if (is_root_directory(*resolved, path)) return AgentError::resource("directory resource: refusing to remove " + path);
  std::vector<FieldChange> records{change_delete("directory", path)};
  if (dry_run) return result_with_changes(result_changed("directory", resource.name, "would remove " + path), records);
  if (auto removed = remove_dir_all(*resolved, path); !removed) return std::move(removed).error();
  return result_with_changes(result_changed("directory", resource.name, "removed " + path), records);
}

// Whether the owner (or group) differs: a numeric one by id, a name by the
// name of the current id.
bool differs(const std::string& wanted, std::uint32_t current_id, std::string (*name_of)(std::uint32_t)) {
  if (const auto id = numeric_id(wanted)) return *id != current_id;
  return name_of(current_id) != wanted;
}

// The directory as found, with the descriptor its changes go through.
struct Found {
  const std::string& path;
  ResolvedPath resolved;
  // The last component as named: a link at the path is the link itself.
  ResolvedPath named;
  UniqueFd fd;

  Result<int> descriptor() {
    if (!fd.valid()) {
      auto opened = open_resolved(resolved, path);
      if (!opened) return std::move(opened).error();
      fd = std::move(*opened);
    }
    return fd.get();
  }
};

// Where anyone may make names (/tmp), a directory, or a link at the path,
// that another user made first may hold or lead to that user's links, which
// root's jobs would write through once the bundle had made it root's: it is
// refused, unless the bundle gives it to that very user.
Status refuse_planted(const ResolvedResource& resource, const Found& found) {
  const auto owner = prop_str(resource, "owner");
  for (const ResolvedPath* entry : {&found.named, &found.resolved}) {
    struct stat parent {};
    if (!entry->exists() || !entry->parent.valid()) continue;
    if (::fstat(entry->parent.get(), &parent) != 0) return stat_failed_error(found.path, errno);
    const uid_t uid = entry->st.st_uid;
    if (is_planted(parent, entry->st) && !(owner && !differs(*owner, uid, user_name))) {
      return AgentError::resource("refusing to adopt " + found.path + ": it exists and belongs to uid " +
                                  std::to_string(uid));
    }
  }
  return {};
}

// As "chown -R" has it, a recursive change never traverses a link at the
// path (a checkout's "storage -> /etc" is root's): the link's own owner is
// compared and changed. Otherwise the directory's, and with recurse
// everything below it.
Status apply_ownership(const ResolvedResource& resource, Found& found, bool dry_run, Changes& changes) {
  const auto owner = prop_str(resource, "owner");
  const auto group = prop_str(resource, "group");
  if (!owner && !group) return {};
  const bool recurse = prop_bool(resource, "recurse").value_or(false);
  const ResolvedPath* link = recurse && found.named.is_link ? &found.named : nullptr;
  const struct stat& st = link ? link->st : found.resolved.st;
  const bool owner_differs = owner && differs(*owner, st.st_uid, user_name);
  if (!owner_differs && !(group && differs(*group, st.st_gid, group_name))) return {};
  // A user's link keeps its owner (change_entry_owner): given to another it
  // would be trusted where that owner's files are, and never converge here.
  if (link && owner_differs && st.st_uid != 0) {
    return AgentError::resource("refusing to give symbolic link " + found.path + " of uid " +
                                std::to_string(st.st_uid) + " to " + *owner);
  }
  const std::string ownership = owner && group ? *owner + ":" + *group : owner ? *owner : ":" + *group;
  changes.messages.push_back("owner/group -> " + ownership);
  changes.records.push_back({"owner_group", ChangeAction::Update, std::nullopt, ownership});
  if (dry_run) return {};
  auto ids = parse_owner_spec(ownership);
  if (!ids) return chown_failed_error(ids.error().message());
  if (link) {
    const int error = change_entry_owner(link->object.get(), link->st, *ids);
    return error == 0 ? Status() : chown_failed_error(error);
  }
  auto fd = found.descriptor();
  if (!fd) return std::move(fd).error();
  return set_owner(*fd, *ids, recurse);
}

}  // namespace

HandlerResult apply_directory(const ResolvedResource& resource, bool dry_run) {
  auto path_prop = prop_required(resource, "path");
  if (!path_prop) return std::move(path_prop).error();
  // Refused since "ls" and "chown" took the path as an argument; kept so a
  // bundle means the same everywhere.
  if (auto checked = require_not_option_like("directory", "'path'", *path_prop); !checked) {
    return std::move(checked).error();
  }
  const std::string& path = *path_prop;
  if (prop_str_or(resource, "state", "present") == "absent") return remove_directory(resource, path, dry_run);

  auto resolved = resolve_path(path, LastLink::Follow);
  if (!resolved) return std::move(resolved).error();
  // "f/" names no directory where f is something else: it is found in its
  // directory, and is not one.
  const bool not_a_directory = resolved->exists() ? !S_ISDIR(resolved->st.st_mode)
                                                  : resolved->parent.valid() && resolved->missing_errno == ENOTDIR;
  Changes changes;
  if (not_a_directory) {
    // Reporting the directory present would hide that there is none.
    return AgentError::resource(path + " exists and is not a directory");
  }
  if (!resolved->exists()) {
    changes.messages.push_back("create " + path);
    changes.records.push_back(change_create("directory", path));
    if (!dry_run) {
      if (auto made = make_dirs(path, "failed to create " + path); !made) return std::move(made).error();
      resolved = resolve_path(path, LastLink::Follow);
      if (!resolved) return std::move(resolved).error();
    }
  }
  auto named = resolve_path(path, LastLink::Keep);
  if (!named) return std::move(named).error();
  Found found{path, std::move(*resolved), std::move(*named), {}};
  if (auto refused = refuse_planted(resource, found); !refused) return std::move(refused).error();

  if (const auto mode_text = prop_str(resource, "mode")) {
    auto mode = parse_mode(*mode_text);
    if (!mode) return std::move(mode).error();
    if (found.resolved.exists() && (found.resolved.st.st_mode & 07777) != *mode) {
      const std::uint32_t current = found.resolved.st.st_mode & 07777;
      changes.messages.push_back("mode " + format_mode(current) + " \u2192 " + format_mode(*mode));
      changes.records.push_back(change_update("mode", format_mode(current), format_mode(*mode)));
      if (!dry_run) {
        auto fd = found.descriptor();
        if (!fd) return std::move(fd).error();
        if (::fchmod(*fd, *mode) != 0) return chmod_failed_error(path, errno);
      }
    }
  }

  if (found.resolved.exists()) {
    if (auto owned = apply_ownership(resource, found, dry_run, changes); !owned) return std::move(owned).error();
  }
  return std::move(changes).result("directory", resource.name);
}

}  // namespace toln
