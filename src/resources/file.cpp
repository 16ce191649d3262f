#include "resources/file.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "host/atomic_write.hpp"
#include "host/file_errors.hpp"
#include "host/file_modes.hpp"
#include "host/file_reading.hpp"
#include "host/foreign_files.hpp"
#include "host/owners.hpp"
#include "host/safe_path.hpp"
#include "resources/argument_checks.hpp"
#include "resources/changes.hpp"
#include "resources/props.hpp"

namespace toln {
namespace {

constexpr std::string_view kArrow = " \u2192 ";

// The wanted contents: `content`, else the text of the `source` file, else
// none (contents not managed).
Result<std::optional<std::string>> wanted_content(const ResolvedResource& resource) {
  if (auto content = prop_str(resource, "content")) return content;
  const auto source = prop_str(resource, "source");
  if (!source) return std::optional<std::string>();
  auto read = read_text(*source);
  if (!read) return AgentError::resource("failed to read source " + *source + ": " + read.error().message());
  return std::optional<std::string>(std::move(read).value());
}

// The properties, read once.
struct Wanted {
  std::string path;
  std::optional<std::string> content;  // none: contents not managed
  std::optional<std::uint32_t> mode;
  std::optional<std::string> owner;
  // None where the owner cannot be looked up, which fails later, as a
  // change of owner.
  std::optional<OwnerIds> owner_ids;
};

Result<Wanted> read_wanted(const ResolvedResource& resource) {
  auto path = prop_required(resource, "path");
  if (!path) return std::move(path).error();
  // Refused since "ls" and "chown" took the path as an argument; kept so a
  // bundle means the same everywhere.
  if (auto checked = require_not_option_like("file", "'path'", *path); !checked) return std::move(checked).error();
  auto content = wanted_content(resource);
  if (!content) return std::move(content).error();
  std::optional<std::uint32_t> mode;
  if (const auto mode_text = prop_str(resource, "mode")) {
    auto parsed = parse_mode(*mode_text);
    if (!parsed) return std::move(parsed).error();
    mode = *parsed;
  }
  auto owner = prop_str(resource, "owner");
  std::optional<OwnerIds> owner_ids;
  if (owner) {
    if (auto ids = parse_owner_spec(*owner)) owner_ids = *ids;
  }
  return Wanted{std::move(*path), std::move(*content), mode, std::move(owner), owner_ids};
}

// The file as it was found, and the descriptor every change goes through:
// the checked file's own, or the new file's once the contents are written.
struct Target {
  const Wanted& wanted;
  OpenedPath found;
  // The entry the path names, a link at its end not followed: resolved
  // once, where a write or the bait rule first needs it.
  std::optional<ResolvedPath> entry{};
  bool written = false;
  bool written_with_owner = false;  // the new file has the wanted owner

  bool exists() const { return written || found.exists; }
  int fd() const { return found.fd.get(); }

  Status resolve_entry() {
    if (entry) return {};
    auto resolved = resolve_path(wanted.path, LastLink::Keep);
    if (!resolved) return std::move(resolved).error();
    entry = std::move(*resolved);
    return {};
  }
};

// Compares and, unless in dry-run, writes the contents: when they differ, or
// when the file must be a new one (rewrite) although they are equal. The
// new file gets the wanted owner before its mode and before it has a name:
// given the existing owner instead, a user who owns the file now could open
// the new one for writing before it became another's (root's, set-id
// perhaps).
Status apply_content(Target& target, bool rewrite, bool dry_run, Changes& changes) {
  const Wanted& wanted = target.wanted;
  auto check = check_contents(target.found, wanted.path, *wanted.content);
  if (!check) return std::move(check).error();
  const bool differs = !*check || !(*check)->equal;
  if (differs) {
    changes.messages.push_back("content");
    changes.records.push_back(content_change("content", *check, *wanted.content));
  }
  if ((!differs && !rewrite) || dry_run) return {};
  if (auto resolved = target.resolve_entry(); !resolved) return write_failed_error(wanted.path, resolved.error());
  if (!target.entry->exists() && !target.entry->parent.valid()) {
    auto made = resolve_making_parents(wanted.path, LastLink::Keep, "failed to create dir");
    if (!made) return std::move(made).error();
    target.entry = std::move(*made);
  }
  auto written = atomic_write_at(*target.entry, wanted.path, *wanted.content, wanted.mode, wanted.owner_ids);
  if (!written) return write_failed_error(wanted.path, written.error());
  target.found.fd = std::move(*written);
  target.written = true;
  target.written_with_owner = wanted.owner_ids.has_value();
  return {};
}

Status apply_owner(Target& target, bool dry_run, Changes& changes) {
  const Wanted& wanted = target.wanted;
  // A file written with the wanted owner is reported against the one it
  // replaced: the existing file's owner, or the agent for a new file.
  uid_t uid = target.found.exists ? target.found.st.st_uid : ::geteuid();
  if (target.written && !target.written_with_owner) {
    struct stat st {};
    if (::fstat(target.fd(), &st) != 0) return stat_failed_error(wanted.path, errno);
    uid = st.st_uid;
  }
  const std::string current = user_name(uid);
  if (current == *wanted.owner) return {};
  changes.messages.push_back("owner " + current + std::string(kArrow) + *wanted.owner);
  changes.records.push_back(change_update("owner", current, *wanted.owner));
  if (dry_run || target.written_with_owner) return {};
  // Looked up again where it failed at first, for the error's cause.
  auto ids = wanted.owner_ids ? Result<OwnerIds>(*wanted.owner_ids) : parse_owner_spec(*wanted.owner);
  if (!ids) return chown_failed_error(ids.error().message());
  if (auto set = set_owner(target.fd(), *ids, false); !set) return std::move(set).error();
  // A change of owner clears the set-user-id and set-group-id bits of a
  // file; without them back the next run would find the mode changed.
  if (wanted.mode && (*wanted.mode & (S_ISUID | S_ISGID)) != 0 && ::fchmod(target.fd(), *wanted.mode) != 0) {
    return chmod_failed_error(wanted.path, errno);
  }
  return {};
}

}  // namespace

HandlerResult apply_file(const ResolvedResource& resource, bool dry_run) {
  auto wanted = read_wanted(resource);
  if (!wanted) return std::move(wanted).error();
  const std::string& path = wanted->path;
  auto opened = open_path(path);
  if (!opened) return std::move(opened).error();
  Target target{*wanted, std::move(*opened)};
  // A FIFO would block the read, a device never end it.
  if (target.found.exists && !S_ISREG(target.found.st.st_mode) && !S_ISDIR(target.found.st.st_mode)) {
    return AgentError::resource(path + " is not a regular file");
  }

  Changes changes;
  // A user's file that would change hands: only a new file may, and only
  // contents that are known can fill it.
  const bool given_away = target.found.exists && wanted->owner_ids && gives_away(target.found.st, *wanted->owner_ids);
  if (given_away && !wanted->content) return refused_in_place(path, *wanted->owner, target.found.st.st_uid);
  // Root's files are never bait: their entry is not looked at again.
  if (wanted->content && target.found.exists && target.found.st.st_uid != 0) {
    if (auto resolved = target.resolve_entry(); !resolved) return std::move(resolved).error();
    auto bait = is_bait(*target.entry, wanted->owner_ids, path);
    if (!bait) return std::move(bait).error();
    if (*bait) {
      changes.messages.push_back(not_kept_message(target.entry->st.st_uid));
      target.found = OpenedPath{};
      target.found.missing_errno = ENOENT;
    }
  }
  const struct stat& found = target.found.st;
  const auto& mode = wanted->mode;
  std::optional<std::uint32_t> current_mode;  // set when the mode differs
  if (mode && target.found.exists && (found.st_mode & 07777) != *mode) current_mode = found.st_mode & 07777;

  if (wanted->content) {
    if (auto content = apply_content(target, given_away, dry_run, changes); !content) {
      return std::move(content).error();
    }
  }

  if (current_mode) {
    changes.messages.push_back("mode " + format_mode(*current_mode) + std::string(kArrow) + format_mode(*mode));
    changes.records.push_back(change_update("mode", format_mode(*current_mode), format_mode(*mode)));
    if (!dry_run && !target.written && ::fchmod(target.fd(), *mode) != 0) return chmod_failed_error(path, errno);
  }

  if (wanted->owner && target.exists()) {
    if (auto owned = apply_owner(target, dry_run, changes); !owned) return std::move(owned).error();
  }

  return std::move(changes).result("file", resource.name);
}

}  // namespace toln
