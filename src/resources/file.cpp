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
#include "host/path_parts.hpp"
#include "host/safe_path.hpp"
#include "resources/argument_checks.hpp"
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
  auto read = read_text_file(*source);
  if (auto* text = std::get_if<std::string>(&read)) return std::optional<std::string>(std::move(*text));
  return AgentError::resource("failed to read source " + *source + ": " + read_fault_text(std::get<ReadFault>(read)));
}

struct Changes {
  std::vector<std::string> messages;
  std::vector<FieldChange> records;
};

// The file as it was found, and the descriptor every change goes through:
// the checked file's own, or the new file's once the contents are written.
struct Target {
  const std::string& path;
  OpenedPath found;
  bool written = false;
  bool written_with_owner = false;  // the new file has the wanted owner

  bool exists() const { return written || found.exists; }
  int fd() const { return found.fd.get(); }
};

// Compares and, unless in dry-run, writes the contents: when they differ, or
// when the file must be a new one (rewrite) although they are equal. The
// new file gets the wanted owner before its mode and before it has a name:
// given the existing owner instead, a user who owns the file now could open
// the new one for writing before it became another's (root's, set-id
// perhaps).
Status apply_content(Target& target, const std::string& wanted, std::optional<std::uint32_t> mode,
                     const std::optional<OwnerIds>& owner, bool rewrite, bool dry_run, Changes& changes) {
  const std::string& path = target.path;
  auto check = check_contents(target.found, path, wanted);
  if (!check) return std::move(check).error();
  const bool differs = !*check || !(*check)->equal;
  if (differs) {
    changes.messages.push_back("content");
    changes.records.push_back(content_change("content", *check, wanted));
  }
  if ((!differs && !rewrite) || dry_run) return {};
  if (const auto parent = split_path(path).parent) {
    auto made = make_dirs(*parent);
    if (!made) return std::move(made).error();
    if (*made != 0) return create_dir_failed_error(*made);
  }
  auto written = atomic_write_keeping_fd(path, wanted, mode, owner);
  if (!written) return write_failed_error(path, written.error());
  target.found.fd = std::move(*written);
  target.written = true;
  target.written_with_owner = owner.has_value();
  return {};
}

Status apply_owner(Target& target, const std::string& owner, std::optional<std::uint32_t> mode, bool dry_run,
                   Changes& changes) {
  // A file written with the wanted owner is reported against the one it
  // replaced: the existing file's owner, or the agent for a new file.
  uid_t uid = target.found.exists ? target.found.st.st_uid : ::geteuid();
  if (target.written && !target.written_with_owner) {
    struct stat st {};
    if (::fstat(target.fd(), &st) != 0) return stat_failed_error(target.path, errno);
    uid = st.st_uid;
  }
  const std::string current = user_name(uid);
  if (current == owner) return {};
  changes.messages.push_back("owner " + current + std::string(kArrow) + owner);
  changes.records.push_back(change_update("owner", current, owner));
  if (dry_run || target.written_with_owner) return {};
  auto ids = parse_owner_spec(owner);
  if (!ids) return chown_failed_error(ids.error().message());
  if (const int error = change_owner(target.fd(), *ids, false); error != 0) {
    return chown_failed_error(os_error_text(error));
  }
  // A change of owner clears the set-user-id and set-group-id bits of a
  // file; without them back the next run would find the mode changed.
  if (mode && (*mode & (S_ISUID | S_ISGID)) != 0 && ::fchmod(target.fd(), *mode) != 0) {
    return chmod_failed_error(target.path, errno);
  }
  return {};
}

}  // namespace

HandlerResult apply_file(const ResolvedResource& resource, bool dry_run) {
  auto path_prop = prop_required(resource, "path");
  if (!path_prop) return std::move(path_prop).error();
  const std::string& path = *path_prop;
  // Refused since "ls" and "chown" took the path as an argument; kept so a
  // bundle means the same everywhere.
  if (auto checked = require_not_option_like("file", "'path'", path); !checked) return std::move(checked).error();
  auto wanted = wanted_content(resource);
  if (!wanted) return std::move(wanted).error();

  std::optional<std::uint32_t> mode;
  if (const auto mode_text = prop_str(resource, "mode")) {
    auto parsed = parse_mode(*mode_text);
    if (!parsed) return std::move(parsed).error();
    mode = *parsed;
  }

  auto opened = open_path(path);
  if (!opened) return std::move(opened).error();
  Target target{path, std::move(*opened)};
  // A FIFO would block the read, a device never end it.
  if (target.found.exists && !S_ISREG(target.found.st.st_mode) && !S_ISDIR(target.found.st.st_mode)) {
    return AgentError::resource(path + " is not a regular file");
  }

  Changes changes;
  const auto owner = prop_str(resource, "owner");
  // An owner that cannot be parsed fails later, as a change of owner.
  std::optional<OwnerIds> owner_ids;
  if (owner) {
    if (auto parsed = parse_owner_spec(*owner)) owner_ids = *parsed;
  }
  // A user's file that would change hands: only a new file may, and only
  // contents that are known can fill it.
  const bool given_away = target.found.exists && owner_ids && gives_away(target.found.st, *owner_ids);
  if (given_away && !*wanted) return refused_in_place(path, *owner, target.found.st.st_uid);
  // Root's files are never bait: the path is not walked again for them.
  if (*wanted && target.found.exists && target.found.st.st_uid != 0) {
    auto bait = find_bait(path, owner_ids);
    if (!bait) return std::move(bait).error();
    if (*bait) {
      changes.messages.push_back(not_kept_message((*bait)->st.st_uid));
      target.found = OpenedPath{};
      target.found.missing_errno = ENOENT;
    }
  }
  const struct stat& found = target.found.st;
  std::optional<std::uint32_t> current_mode;  // set when the mode differs
  if (mode && target.found.exists && (found.st_mode & 07777) != *mode) current_mode = found.st_mode & 07777;

  if (*wanted) {
    if (auto content = apply_content(target, **wanted, mode, owner_ids, given_away, dry_run, changes); !content) {
      return std::move(content).error();
    }
  }

  if (current_mode) {
    changes.messages.push_back("mode " + format_mode(*current_mode) + std::string(kArrow) + format_mode(*mode));
    changes.records.push_back(change_update("mode", format_mode(*current_mode), format_mode(*mode)));
    if (!dry_run && !target.written && ::fchmod(target.fd(), *mode) != 0) return chmod_failed_error(path, errno);
  }

  if (owner && target.exists()) {
    if (auto owned = apply_owner(target, *owner, mode, dry_run, changes); !owned) return std::move(owned).error();
  }

  return result_with_changes(result_from_messages("file", resource.name, changes.messages),
                             std::move(changes.records));
}

}  // namespace toln
