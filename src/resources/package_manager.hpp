#pragma once
// The host's package manager: which one there is, how to ask it about a
// package and how to change one.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/host_programs.hpp"
#include "host/process.hpp"

namespace toln {

enum class PackageManager : std::uint8_t { Apt = 0, Dnf = 1, Pacman = 2 };

// The first of apt-get, dnf and pacman that "which" finds, or nothing. The
// probe runs at the first call of the process; the answer, nothing
// included, is kept for every later call and thread.
std::optional<PackageManager> detect_package_manager();

// The manager's commands for one package (passed as one argument) and for
// its cache.
HostCommand package_query(PackageManager manager, std::string name);
HostCommand package_cache_refresh(PackageManager manager);
HostCommand package_install(PackageManager manager, std::string name);
HostCommand package_remove(PackageManager manager, std::string name);

// Whether a finished query says the package is installed: status 0 and, for
// Apt, a "Status:" line whose last word is "installed".
bool query_reports_installed(PackageManager manager, const CommandOutput& query);

// The dpkg rule alone, on the query's decoded standard output.
bool dpkg_status_says_installed(std::string_view status_text);

}  // namespace toln
