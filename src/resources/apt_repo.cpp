#include "resources/apt_repo.hpp"

#include <sys/stat.h>

#include <vector>

#include "host/atomic_write.hpp"
#include "host/file_errors.hpp"
#include "host/file_reading.hpp"
#include "host/process.hpp"
#include "host/root_paths.hpp"
#include "resources/distribution_suite.hpp"
#include "resources/props.hpp"
#include "text/nul_byte.hpp"
#include "text/unicode.hpp"

namespace toln {
namespace {

constexpr std::string_view kKeyringDir = "/etc/apt/keyrings";
constexpr std::string_view kSourcesDir = "/etc/apt/sources.list.d";

bool has_line_break(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

// The name becomes a file name in two system directories, so it must stay
// one plain file name there.
Status check_repo_name(const std::string& name) {
  if (has_nul_byte(name)) return AgentError::resource("invalid apt_repo name: it holds a NUL byte");
  if (has_line_break(name)) return AgentError::resource("invalid apt_repo name: it holds a line break");
  if (name.empty()) return AgentError::resource("invalid apt_repo name: it is empty");
  if (name.find('/') != std::string::npos) {
    return AgentError::resource("invalid apt_repo name '" + name + "': it must not hold '/'");
  }
  if (name == "." || name == "..") {
    return AgentError::resource("invalid apt_repo name '" + name + "': it must name a file, not a directory");
  }
  return {};
}

// A line break in a value of the source line would start a second source
// line; none belongs in the key's URL either.
Status refuse_line_break(std::string_view key, const std::string& value) {
  if (!has_line_break(value)) return {};
  return AgentError::resource("invalid apt_repo " + std::string(key) + ": it holds a line break");
}

Status remove_repo(const std::vector<std::string>& paths, bool dry_run, std::vector<std::string>& messages) {
  for (const auto& path : paths) {
    if (!stat_path(path)) continue;
    messages.push_back("-" + path);
    if (dry_run) continue;
    if (auto removed = remove_file(path); !removed) return removed;
  }
  return {};
}

Status fetch_key(const std::string& keyring, const std::string& key_url) {
  auto made = run(host_programs::mkdir_parents(std::string(kKeyringDir)));
  if (!made) return std::move(made).error();
  // Whatever stands at the path already (a dangling link, say) is not ours
  // to remove should the download fail.
  struct stat before {};
  const bool occupied = ::lstat(keyring.c_str(), &before) == 0;
  auto fetched = run(host_programs::curl_gpg_key(keyring, key_url));
  if (!fetched) return std::move(fetched).error();
  if (fetched->status != 0) {
    // An interrupted transfer leaves part of the key behind, which every
    // later run would take for the key.
    if (!occupied) (void)remove_file(keyring);
    return AgentError::resource("failed to download GPG key from " + key_url + ": " +
                                stderr_text(*fetched));
  }
  auto readable = run(host_programs::chmod("a+r", keyring));
  if (!readable) return std::move(readable).error();
  return {};
}

Status ensure_repo(const ResolvedResource& resource, const std::string& keyring, const std::string& source_list,
                   bool dry_run, std::vector<std::string>& messages) {
  auto url = prop_required(resource, "url");
  if (!url) return std::move(url).error();
  auto key_url = prop_required(resource, "gpg_key");
  if (!key_url) return std::move(key_url).error();
  const std::string component = prop_str_or(resource, "component", "stable");
  const std::string arch = prop_str_or(resource, "arch", "amd64");
  const std::pair<std::string_view, const std::string*> line_values[] = {
      {"url", &*url}, {"gpg_key", &*key_url}, {"component", &component}, {"arch", &arch}};
  for (const auto& [key, value] : line_values) {
    if (auto checked = refuse_line_break(key, *value); !checked) return std::move(checked).error();
  }
  // curl runs as root and would read such a "URL" as an option.
  if (key_url->starts_with('-')) {
    return AgentError::resource("invalid apt_repo gpg_key '" + *key_url + "': it begins with '-'");
  }

  auto suite = [&]() -> Result<std::string> {
    if (auto given = prop_str(resource, "suite")) return std::move(*given);
    return detect_suite();
  }();
  if (!suite) return std::move(suite).error();
  if (auto checked = refuse_line_break("suite", *suite); !checked) return std::move(checked).error();

  if (!stat_path(keyring)) {
    messages.push_back("gpg key → " + keyring);
    if (!dry_run) {
      if (auto fetched = fetch_key(keyring, *key_url); !fetched) return std::move(fetched).error();
    }
  }

  const std::string line = "deb [arch=" + arch + " signed-by=" + keyring + "] " + *url + " " + *suite + " " + component;
  auto current = read_file_opt(source_list);
  if (!current) return std::move(current).error();
  // Both sides trimmed: a value ending in a blank (a component "main ")
  // would otherwise never match the file written from it, and the list be
  // rewritten and the index refreshed on every run.
  if (current->has_value() && trim_white(**current) == trim_white(line)) return {};
  messages.push_back("repo → " + source_list);
  if (dry_run) return {};
  if (auto written = atomic_write(source_list, line + "\n", std::nullopt); !written) {
    return write_failed_error(source_list, written.error());
  }
  return run_checked(host_programs::apt_get_update(), "apt-get update");
}

}  // namespace

HandlerResult apply_apt_repo(const ResolvedResource& resource, bool dry_run) {
  auto name = prop_required(resource, "name");
  if (!name) return std::move(name).error();
  if (auto checked = check_repo_name(*name); !checked) return std::move(checked).error();
  const std::string state = prop_str_or(resource, "state", "present");
  const std::string keyring = std::string(kKeyringDir) + "/" + *name + ".asc";
  const std::string source_list = std::string(kSourcesDir) + "/" + *name + ".list";

  std::vector<std::string> messages;
  const Status done = state == "absent" ? remove_repo({keyring, source_list}, dry_run, messages)
                                        : ensure_repo(resource, keyring, source_list, dry_run, messages);
  if (!done) return done.error();
  return result_from_messages("apt_repo", resource.name, messages);
}

}  // namespace toln
