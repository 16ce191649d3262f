#include "resources/package_manager.hpp"

#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

bool program_found(const std::string& program) {
  // A "which" that cannot be started counts as not finding the program.
  auto found = run(host_programs::which(program));
  return found && found->status == 0;
}

std::optional<PackageManager> probe_package_manager() {
  if (program_found("apt-get")) return PackageManager::Apt;
  if (program_found("dnf")) return PackageManager::Dnf;
  if (program_found("pacman")) return PackageManager::Pacman;
  return std::nullopt;
}

}  // namespace

std::optional<PackageManager> detect_package_manager() {
  // A function-local static is initialised once, even across threads.
  static const std::optional<PackageManager> detected = probe_package_manager();
  return detected;
}

HostCommand package_query(PackageManager manager, std::string name) {
  switch (manager) {
    case PackageManager::Apt: return host_programs::dpkg_status(std::move(name));
    case PackageManager::Dnf: return host_programs::rpm_query(std::move(name));
    case PackageManager::Pacman: return host_programs::pacman_query(std::move(name));
  }
  return host_programs::dpkg_status(std::move(name));
}

HostCommand package_cache_refresh(PackageManager manager) {
  switch (manager) {
    case PackageManager::Apt: return host_programs::apt_get_update();
    case PackageManager::Dnf: return host_programs::dnf_makecache();
    case PackageManager::Pacman: return host_programs::pacman_refresh();
  }
  return host_programs::apt_get_update();
}

HostCommand package_install(PackageManager manager, std::string name) {
  switch (manager) {
    case PackageManager::Apt: return host_programs::apt_get_install(std::move(name));
    case PackageManager::Dnf: return host_programs::dnf_install(std::move(name));
    case PackageManager::Pacman: return host_programs::pacman_install(std::move(name));
  }
  return host_programs::apt_get_install(std::move(name));
}

HostCommand package_remove(PackageManager manager, std::string name) {
  switch (manager) {
    case PackageManager::Apt: return host_programs::apt_get_remove(std::move(name));
    case PackageManager::Dnf: return host_programs::dnf_remove(std::move(name));
    case PackageManager::Pacman: return host_programs::pacman_remove(std::move(name));
  }
  return host_programs::apt_get_remove(std::move(name));
}

bool dpkg_status_says_installed(std::string_view status_text) {
  // The last word is dpkg's own state; "install ok installed" and a held
  // "hold ok installed" both end in it, while "deinstall ok config-files",
  // "half-configured" or "not-installed" do not.
  while (!status_text.empty()) {
    const auto end = status_text.find('\n');
    const std::string_view line = trim_white(status_text.substr(0, end));
    status_text.remove_prefix(end == std::string_view::npos ? status_text.size() : end + 1);
    if (!line.starts_with("Status:")) continue;
    const auto words = split_white(line.substr(7));
    if (!words.empty() && words.back() == "installed") return true;
  }
  return false;
}

bool query_reports_installed(PackageManager manager, const CommandOutput& query) {
  if (query.status != 0) return false;
  if (manager != PackageManager::Apt) return true;
  return dpkg_status_says_installed(lossy_utf8(query.stdout_bytes));
}

}  // namespace toln
