#include "resources/file.hpp"

#include <sys/stat.h>

#include <cerrno>

#include "host/file_services.hpp"
#include "host/process.hpp"
#include "resources/argument_checks.hpp"
#include "resources/ls_listing.hpp"
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

// Compares and, unless in dry-run, writes the contents. Returns whether they
// were written.
Result<bool> apply_content(const std::string& path, const std::string& wanted, std::optional<std::uint32_t> mode,
                           bool dry_run, Changes& changes) {
  auto current = read_file_opt(path);
  if (!current) return std::move(current).error();
  if (*current && **current == wanted) return false;
  changes.messages.push_back("content");
  changes.records.push_back(*current ? change_update("content", content_digest(**current), content_digest(wanted))
                                     : change_create("content", content_digest(wanted)));
  if (dry_run) return false;
  if (const int error = create_parent_dirs(path); error != 0) return create_dir_failed_error(error);
  if (auto written = atomic_write(path, wanted, mode); !written) return write_failed_error(path, written.error());
  return true;
}

Status apply_owner(const std::string& path, const std::string& owner, std::optional<std::uint32_t> mode, bool dry_run,
                   Changes& changes) {
  auto current = listed_owner(path);
  if (!current) return std::move(current).error();
  if (*current == owner) return {};
  changes.messages.push_back("owner " + *current + std::string(kArrow) + owner);
  changes.records.push_back(change_update("owner", *current, owner));
  if (dry_run) return {};
  if (auto chowned = run_checked(host_programs::chown(owner, path), "chown"); !chowned) return chowned;
  // A change of owner clears the set-user-id and set-group-id bits of a
  // file; without them back the next run would find the mode changed.
  if (mode && (*mode & (S_ISUID | S_ISGID)) != 0 && ::chmod(path.c_str(), *mode) != 0) {
    return chmod_failed_error(path, errno);
  }
  return {};
}

}  // namespace

HandlerResult apply_file(const ResolvedResource& resource, bool dry_run) {
  auto path_prop = prop_required(resource, "path");
  if (!path_prop) return std::move(path_prop).error();
  const std::string& path = *path_prop;
  // The path reaches "ls" and "chown" as an argument.
  if (auto checked = require_not_option_like("file", "'path'", path); !checked) return std::move(checked).error();
  auto wanted = wanted_content(resource);
  if (!wanted) return std::move(wanted).error();

  std::optional<std::uint32_t> mode;
  std::optional<std::uint32_t> current_mode;  // set when the mode differs
  if (const auto mode_text = prop_str(resource, "mode")) {
    auto parsed = parse_mode(*mode_text);
    if (!parsed) return std::move(parsed).error();
    mode = *parsed;
    if (const auto st = stat_path(path); st && (st->st_mode & 07777) != *mode) current_mode = st->st_mode & 07777;
  }

  Changes changes;
  bool written = false;
  if (*wanted) {
    auto content = apply_content(path, **wanted, mode, dry_run, changes);
    if (!content) return std::move(content).error();
    written = *content;
  }

  if (current_mode) {
    changes.messages.push_back("mode " + format_mode(*current_mode) + std::string(kArrow) + format_mode(*mode));
    changes.records.push_back(change_update("mode", format_mode(*current_mode), format_mode(*mode)));
    if (!dry_run && !written && ::chmod(path.c_str(), *mode) != 0) return chmod_failed_error(path, errno);
  }

  if (const auto owner = prop_str(resource, "owner"); owner && stat_path(path)) {
    if (auto owned = apply_owner(path, *owner, mode, dry_run, changes); !owned) return std::move(owned).error();
  }

  return result_with_changes(result_from_messages("file", resource.name, changes.messages),
                             std::move(changes.records));
}

}  // namespace toln
