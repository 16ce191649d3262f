#include "resources/download.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "host/file_errors.hpp"
#include "host/file_modes.hpp"
#include "host/foreign_files.hpp"
#include "host/owners.hpp"
#include "host/path_parts.hpp"
#include "host/pending_file.hpp"
#include "host/safe_path.hpp"
#include "resources/argument_checks.hpp"
#include "resources/download_steps.hpp"
#include "resources/props.hpp"

namespace toln {
namespace {

// The properties of a present dest, read once. A mode or an owner that
// cannot be parsed is an error only where it is used (not in a dry run of
// a missing dest, say): parse_mode's, and "chown failed: {}" for the owner.
struct Wanted {
  std::string url;
  std::string dest;
  std::string file_name;  // dest's, the name of the file taken from an archive
  bool extract = false;
  std::optional<std::string> checksum;
  Result<std::optional<std::uint32_t>> mode;
  std::optional<std::string> owner;
  Result<std::optional<OwnerIds>> owner_ids;
};

Wanted read_wanted(const ResolvedResource& resource, std::string url, std::string dest) {
  const auto mode = prop_str(resource, "mode");
  const auto owner = prop_str(resource, "owner");
  const auto parsed_mode = [&]() -> Result<std::optional<std::uint32_t>> {
    if (!mode) return std::optional<std::uint32_t>();
    auto parsed = parse_mode(*mode);
    if (!parsed) return std::move(parsed).error();
    return std::optional<std::uint32_t>(*parsed);
  };
  const auto parsed_owner = [&]() -> Result<std::optional<OwnerIds>> {
    if (!owner) return std::optional<OwnerIds>();
    auto parsed = parse_owner_spec(*owner);
    if (!parsed) return chown_failed_error(parsed.error().message());
    return std::optional<OwnerIds>(*parsed);
  };
  std::string file_name = split_path(dest).file_name;
  return Wanted{std::move(url),
                std::move(dest),
                std::move(file_name),
                prop_bool(resource, "extract").value_or(false),
                prop_str(resource, "checksum"),
                parsed_mode(),
                owner,
                parsed_owner()};
}

// A dest ending in "/", "." or "..": present, the file would land under
// the name before it, or its missing directories would be made; absent, the
// file before it would go.
bool names_a_directory(const std::string& dest) {
  const std::string_view last = std::string_view(dest).substr(dest.find_last_of('/') + 1);
  return !dest.empty() && (last.empty() || last == "." || last == "..");
}

AgentError not_a_file(const std::string& dest) { return AgentError::resource(dest + " is not a regular file"); }

AgentError link_refused(const std::string& dest) {
  return AgentError::resource("refusing to download to " + dest + ": path is a symlink");
}

// A link at dest counts as present only when what it leads to exists; only
// the link itself is removed.
HandlerResult remove_dest(const ResolvedResource& resource, const std::string& dest, bool dry_run) {
  auto where = resolve_path(dest, LastLink::Keep);
  if (!where) return std::move(where).error();
  struct stat target {};
  if (!where->exists() || (where->is_link && ::fstatat(where->parent.get(), where->name.c_str(), &target, 0) != 0)) {
    return result_ok("download", resource.name);
  }
  if (dry_run) return result_changed("download", resource.name, "would remove " + dest);
  if (::unlinkat(where->parent.get(), where->name.c_str(), 0) != 0) return remove_failed_error(dest, errno);
  return result_changed("download", resource.name, "removed " + dest);
}

// The permission bits curl or cp would have given a new file.
mode_t masked(mode_t bits) {
  // umask can only be read by setting it; nothing else runs meanwhile.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return bits & 0777 & ~mask;
}

// Owner first, then mode: a change of owner clears the set-id bits.
Status set_owner_then_mode(int fd, const std::optional<OwnerIds>& owner, std::optional<std::uint32_t> mode) {
  if (owner) {
    if (auto set = set_owner(fd, *owner, false); !set) return std::move(set).error();
  }
  if (mode && ::fchmod(fd, *mode & 07777) != 0) return AgentError::os("chmod failed", errno);
  return {};
}

// An owner that cannot be parsed is nothing here: it fails where the owner
// is set.
std::optional<OwnerIds> owner_ids(const Wanted& wanted) {
  return wanted.owner_ids.ok() ? *wanted.owner_ids : std::nullopt;
}

// Fetches into a pending file in dest's directory and puts it in place once
// it is verified and has its owner and mode. `where` has dest resolved, not
// through a link; an archive already unpacked is not fetched again.
Status fetch_new(const Wanted& wanted, ResolvedPath where, std::vector<std::string>& messages,
                 std::optional<UnpackedArchive> archive = std::nullopt) {
  constexpr std::string_view kCreateFailed = "failed to create directory";
  if (!where.parent.valid()) {
    auto again = resolve_making_parents(wanted.dest, LastLink::Follow, kCreateFailed);
    if (!again) return std::move(again).error();
    where = std::move(*again);
    if (!where.parent.valid()) return AgentError::os(kCreateFailed, where.missing_errno);
    // Put there meanwhile.
    if (where.is_link) return link_refused(wanted.dest);
    if (where.exists() && !S_ISREG(where.st.st_mode)) return not_a_file(wanted.dest);
  }
  if (!wanted.mode) return wanted.mode.error();
  if (!wanted.owner_ids) return wanted.owner_ids.error();
  std::optional<std::uint32_t> mode = *wanted.mode;

  auto file = PendingFile::create(where.parent.get(), where.name, wanted.dest);
  if (!file) return std::move(file).error();
  if (!wanted.extract) {
    if (auto fetched = fetch_into(host_programs::curl_download(wanted.url), file->fd()); !fetched) return fetched;
    if (auto verified = verify_sha256(file->fd(), wanted.dest, wanted.checksum); !verified) return verified;
    mode = mode.value_or(masked(0666));
  } else {
    if (!archive) {
      auto unpacked = unpack_archive(wanted.url, wanted.file_name, *wanted.checksum);
      if (!unpacked) return std::move(unpacked).error();
      archive.emplace(std::move(*unpacked));
    }
    if (auto copied = copy_member(*archive, file->fd(), wanted.dest); !copied) return copied;
    mode = mode.value_or(masked(archive->member_mode));
  }
  if (auto set = set_owner_then_mode(file->fd(), *wanted.owner_ids, mode); !set) return set;
  if (auto placed = file->commit(); !placed) return placed;
  messages.push_back((wanted.extract ? "downloaded and extracted -> " : "downloaded -> ") + wanted.dest);
  return {};
}

// Compares the mode and owner of the existing file and corrects them on its
// descriptor.
Status correct_mode_and_owner(const Wanted& wanted, int fd, bool dry_run, std::vector<std::string>& messages) {
  std::optional<std::uint32_t> mode_change;
  std::optional<OwnerIds> owner_change;
  struct stat st {};
  const bool mode_given = !wanted.mode.ok() || wanted.mode->has_value();
  if ((mode_given || wanted.owner) && ::fstat(fd, &st) != 0) return stat_failed_error(wanted.dest, errno);
  if (!wanted.mode) return wanted.mode.error();
  const std::optional<std::uint32_t>& mode = *wanted.mode;
  if (mode) {
    if (const std::uint32_t current = st.st_mode & 07777; current != *mode) {
      messages.push_back("mode " + format_mode(current) + " -> " + format_mode(*mode));
      mode_change = mode;
    }
  }
  if (wanted.owner) {
    if (const std::string current = user_name(st.st_uid); current != *wanted.owner) {
      messages.push_back("owner " + current + " -> " + *wanted.owner);
      if (!dry_run) {
        if (!wanted.owner_ids) return wanted.owner_ids.error();
        owner_change = *wanted.owner_ids;
        // The new owner takes the set-id bits away: the mode goes back on.
        mode_change = mode;
      }
    }
  }
  if (dry_run) return {};
  return set_owner_then_mode(fd, owner_change, mode_change);
}

// A new file fetched in place of what `where` names, or in dry-run the
// message saying so.
Status download_anew(const Wanted& wanted, ResolvedPath where, bool dry_run, std::vector<std::string>& messages,
                     std::optional<UnpackedArchive> archive = std::nullopt) {
  if (dry_run) {
    messages.push_back("would download " + wanted.url + " -> " + wanted.dest);
    return {};
  }
  return fetch_new(wanted, std::move(where), messages, std::move(archive));
}

// Another user's dest: bait is replaced as if it were not there; a file that
// would change hands is replaced by a new one, reported as the old one
// compares. Neither is read. False when the rules leave dest to be
// compared; `where` is then untouched.
Result<bool> replace_foreign(const Wanted& wanted, ResolvedPath& where, bool dry_run,
                             std::vector<std::string>& messages) {
  const auto owner = owner_ids(wanted);
  auto entry = resolve_path(wanted.dest, LastLink::Keep);
  if (!entry) return std::move(entry).error();
  auto bait = is_bait(*entry, owner, wanted.dest);
  if (!bait) return std::move(bait).error();
  if (*bait) {
    messages.push_back(not_kept_message(entry->st.st_uid));
    if (auto fetched = download_anew(wanted, std::move(*entry), dry_run, messages); !fetched) return fetched.error();
    return true;
  }
  if (!owner || !gives_away(where.st, *owner)) return false;
  if (where.is_link) return link_refused(wanted.dest);
  std::vector<std::string> compared;
  if (auto reported = correct_mode_and_owner(wanted, where.object.get(), true, compared); !reported) {
    return reported.error();
  }
  if (auto fetched = download_anew(wanted, std::move(where), dry_run, messages); !fetched) return fetched.error();
  messages.insert(messages.end(), compared.begin(), compared.end());
  return true;
}

Status apply_present(const Wanted& wanted, bool dry_run, std::vector<std::string>& messages) {
  auto where = resolve_path(wanted.dest, LastLink::Follow);
  if (!where) return std::move(where).error();
  if (!where->exists()) {
    if (where->is_link) return link_refused(wanted.dest);
    return download_anew(wanted, std::move(*where), dry_run, messages);
  }
  if (!S_ISREG(where->st.st_mode)) return not_a_file(wanted.dest);
  // Root's own files are neither bait nor given away.
  if (where->st.st_uid != 0) {
    auto replaced = replace_foreign(wanted, *where, dry_run, messages);
    if (!replaced) return std::move(replaced).error();
    if (*replaced) return {};
  }
  auto file = open_resolved(*where, wanted.dest);
  if (!file) return std::move(file).error();
  const bool hashed = could_be_a_transfer(where->st);

  if (wanted.extract) {
    // The archive is fetched and verified on every run and the file it
    // holds compared with dest: an unchanged file is left alone, a changed
    // archive (a new checksum) or an edited dest is installed again.
    auto archive = unpack_archive(wanted.url, wanted.file_name, *wanted.checksum);
    if (!archive) return std::move(archive).error();
    auto packed = sha256_hex_of(archive->member.get(), wanted.dest);
    if (!packed) return std::move(packed).error();
    std::optional<std::string> installed;
    if (hashed) {
      auto digest = sha256_hex_of(file->get(), wanted.dest);
      if (!digest) return std::move(digest).error();
      installed = std::move(*digest);
    }
    if (installed != *packed) {
      if (where->is_link) return link_refused(wanted.dest);
      return download_anew(wanted, std::move(*where), dry_run, messages, std::move(*archive));
    }
  } else if (wanted.checksum) {
    std::optional<std::string> digest;
    if (hashed) {
      auto taken = sha256_hex_of(file->get(), wanted.dest);
      if (!taken) return std::move(taken).error();
      digest = std::move(*taken);
    }
    if (digest != *wanted.checksum) {
      if (where->is_link) return link_refused(wanted.dest);
      messages.push_back("checksum mismatch (re-download)");
      if (dry_run) return {};
      if (::unlinkat(where->parent.get(), where->name.c_str(), 0) != 0) {
        return AgentError::os("failed to remove stale " + wanted.dest, errno);
      }
      return fetch_new(wanted, std::move(*where), messages);
    }
  }
  return correct_mode_and_owner(wanted, file->get(), dry_run, messages);
}

}  // namespace

HandlerResult apply_download(const ResolvedResource& resource, bool dry_run) {
  auto url = prop_required(resource, "url");
  if (!url) return std::move(url).error();
  auto dest = prop_required(resource, "dest");
  if (!dest) return std::move(dest).error();
  const bool directory_named = names_a_directory(*dest);
  if (prop_str_or(resource, "state", "present") == "absent") {
    if (directory_named) return not_a_file(*dest);
    return remove_dest(resource, *dest, dry_run);
  }

  const Wanted wanted = read_wanted(resource, std::move(*url), std::move(*dest));
  if (wanted.extract && !wanted.checksum) {
    return AgentError::resource(
        "download with extract = true requires a `checksum` (extracting an archive as root requires pinning its "
        "exact bytes)");
  }
  // curl runs as root and would read such a "URL" as one of its options.
  if (auto checked = require_not_option_like("download", "'url'", wanted.url); !checked) {
    return std::move(checked).error();
  }
  if (auto checked = require_not_option_like("download", "'dest'", wanted.dest); !checked) {
    return std::move(checked).error();
  }

  if (directory_named) return not_a_file(wanted.dest);

  std::vector<std::string> messages;
  if (auto applied = apply_present(wanted, dry_run, messages); !applied) return std::move(applied).error();
  return result_from_messages("download", resource.name, messages);
}

}  // namespace toln
