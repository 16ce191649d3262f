#include "resources/download.hpp"

#include <sys/stat.h>

#include <cerrno>

#include "host/file_services.hpp"
#include "host/paths.hpp"
#include "host/process.hpp"
#include "resources/argument_checks.hpp"
#include "resources/download_steps.hpp"
#include "resources/ls_listing.hpp"
#include "resources/props.hpp"

namespace toln {
namespace {

struct Wanted {
  std::string url;
  std::string dest;
  bool extract = false;
  std::optional<std::string> checksum;
  std::optional<std::string> mode;
  std::optional<std::string> owner;
};

HandlerResult remove_dest(const ResolvedResource& resource, const std::string& dest, bool dry_run) {
  if (!stat_path(dest)) return result_ok("download", resource.name);
  if (dry_run) return result_changed("download", resource.name, "would remove " + dest);
  if (const int error = remove_file(dest); error != 0) return remove_failed_error(dest, error);
  return result_changed("download", resource.name, "removed " + dest);
}

// A freshly installed file gets the mode and owner without comparing first.
Status set_mode_and_owner(const Wanted& wanted) {
  if (wanted.mode) {
    if (auto set = run_checked(host_programs::chmod(*wanted.mode, wanted.dest), "chmod"); !set) return set;
  }
  if (wanted.owner) return run_checked(host_programs::chown(*wanted.owner, wanted.dest), "chown");
  return {};
}

// Fetches and installs a dest that is missing (or was removed as stale).
Status fetch_new(const Wanted& wanted, std::vector<std::string>& messages) {
  if (const int error = create_parent_dirs(wanted.dest); error != 0) {
    return AgentError::resource("failed to create directory: " + os_error_text(error));
  }
  if (!wanted.extract) {
    if (auto fetched = download_file(wanted.url, wanted.dest, wanted.checksum, messages); !fetched) return fetched;
  } else {
    auto archive = unpack_archive(wanted.url, wanted.dest, *wanted.checksum);
    if (!archive) return std::move(archive).error();
    if (auto installed = install_member(*archive, wanted.dest, messages); !installed) return installed;
  }
  return set_mode_and_owner(wanted);
}

// Compares the mode and owner of an existing dest and corrects them.
Status correct_mode_and_owner(const Wanted& wanted, bool dry_run, std::vector<std::string>& messages) {
  if (wanted.mode) {
    auto mode = parse_mode(*wanted.mode);
    if (!mode) return std::move(mode).error();
    const auto st = stat_path(wanted.dest);
    if (!st) return stat_failed_error(wanted.dest, errno);
    if (const std::uint32_t current = st->st_mode & 07777; current != *mode) {
      messages.push_back("mode " + format_mode(current) + " -> " + format_mode(*mode));
      if (!dry_run) {
        if (auto set = run_checked(host_programs::chmod(*wanted.mode, wanted.dest), "chmod"); !set) return set;
      }
    }
  }
  if (wanted.owner) {
    auto current = listed_owner(wanted.dest);
    if (!current) return std::move(current).error();
    if (*current != *wanted.owner) {
      messages.push_back("owner " + *current + " -> " + *wanted.owner);
      if (!dry_run) return run_checked(host_programs::chown(*wanted.owner, wanted.dest), "chown");
    }
  }
  return {};
}

// The archive is fetched and verified on every run and the file it holds
// compared with dest: an unchanged file is left alone, a changed archive (a
// new checksum) or an edited dest is installed again. Returns whether dest
// was (or would be) replaced.
Result<bool> refresh_from_archive(const Wanted& wanted, bool dry_run, std::vector<std::string>& messages) {
  auto archive = unpack_archive(wanted.url, wanted.dest, *wanted.checksum);
  if (!archive) return std::move(archive).error();
  if (same_file_contents(archive->member, wanted.dest)) return false;
  if (dry_run) {
    messages.push_back("would download " + wanted.url + " -> " + wanted.dest);
    return true;
  }
  if (auto installed = install_member(*archive, wanted.dest, messages); !installed) return std::move(installed).error();
  if (auto set = set_mode_and_owner(wanted); !set) return std::move(set).error();
  return true;
}

Status apply_present(const Wanted& wanted, bool dry_run, std::vector<std::string>& messages) {
  if (!stat_path(wanted.dest)) {
    if (dry_run) {
      messages.push_back("would download " + wanted.url + " -> " + wanted.dest);
      return {};
    }
    return fetch_new(wanted, messages);
  }
  if (wanted.extract) {
    auto replaced = refresh_from_archive(wanted, dry_run, messages);
    if (!replaced) return std::move(replaced).error();
    if (*replaced) return {};
  } else if (wanted.checksum) {
    auto digest = sha256_field(wanted.dest);
    if (!digest) return std::move(digest).error();
    if (*digest != *wanted.checksum) {
      messages.push_back("checksum mismatch (re-download)");
      if (dry_run) return {};
      if (const int error = remove_file(wanted.dest); error != 0) {
        return AgentError::resource("failed to remove stale " + wanted.dest + ": " + os_error_text(error));
      }
      return fetch_new(wanted, messages);
    }
  }
  return correct_mode_and_owner(wanted, dry_run, messages);
}

}  // namespace

HandlerResult apply_download(const ResolvedResource& resource, bool dry_run) {
  auto url = prop_required(resource, "url");
  if (!url) return std::move(url).error();
  auto dest = prop_required(resource, "dest");
  if (!dest) return std::move(dest).error();
  if (prop_str_or(resource, "state", "present") == "absent") return remove_dest(resource, *dest, dry_run);

  const Wanted wanted{*url,
                      *dest,
                      prop_bool(resource, "extract").value_or(false),
                      prop_str(resource, "checksum"),
                      prop_str(resource, "mode"),
                      prop_str(resource, "owner")};
  if (wanted.extract && !wanted.checksum) {
    return AgentError::resource(
        "download with extract = true requires a `checksum` (extracting an archive as root requires pinning its "
        "exact bytes)");
  }
  // curl runs as root and would read such a "URL" as one of its options; the
  // destination reaches "sha256sum", "chmod", "chown" and "ls" the same way.
  if (auto checked = require_not_option_like("download", "'url'", wanted.url); !checked) {
    return std::move(checked).error();
  }
  if (auto checked = require_not_option_like("download", "'dest'", wanted.dest); !checked) {
    return std::move(checked).error();
  }
  // Written through, a link would put the download wherever it points.
  if (struct stat st {}; ::lstat(wanted.dest.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    return AgentError::resource("refusing to download to " + wanted.dest + ": path is a symlink");
  }

  std::vector<std::string> messages;
  if (auto applied = apply_present(wanted, dry_run, messages); !applied) return std::move(applied).error();
  return result_from_messages("download", resource.name, messages);
}

}  // namespace toln
