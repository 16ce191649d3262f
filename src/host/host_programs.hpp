#pragma once
// Every host program the agent starts, with the argument forms it passes.
// Each is started by name, looked up in child_search_path, never through a
// shell. What the agent relies on from each is noted beside it; the calling
// handlers judge the outcome.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "model/bundle_size.hpp"

namespace toln {

struct HostCommand {
  std::string program;
  std::vector<std::string> args;
};

namespace host_programs {

// sh -c: status 0 (cmd), or 0 / 1 / other / signal (shell-defined types);
// standard output as register value or diff.
inline HostCommand shell(std::string command) { return {"sh", {"-c", std::move(command)}}; }
// sh FILE: the same, the text read from a file instead of the argument list.
inline HostCommand shell_script(std::string path) { return {"sh", {std::move(path)}}; }

// Bounds shared by every transfer the agent starts: curl gets them as
// options, git through its environment. A transfer slower than
// low_speed_limit bytes per second over low_speed_time seconds is aborted, so
// a stalled server cannot hold a run for ever; one that progresses has no
// overall limit beyond a form's own.
namespace transfer_bounds {
inline constexpr const char* connect_timeout = "30";  // seconds
inline constexpr const char* low_speed_limit = "1024";  // bytes per second
// Seconds: 30. The test suite alone sets TOLN_TEST_LOW_SPEED_TIME, so that
// its stalled transfers end in a few seconds rather than thirty; a value of
// 1 to 30 shortens the bound, anything else is ignored, and nothing
// lengthens it. Read at the first transfer.
const std::string& low_speed_time();
// The bound for a given value of that variable (null: unset).
std::string low_speed_time_from(const char* given);
// git over ssh (GIT_SSH_COMMAND): connecting as above, and a server that
// answers no keep-alive for 30 seconds is given up.
inline constexpr const char* git_ssh_command =
    "ssh -o ConnectTimeout=30 -o ServerAliveInterval=15 -o ServerAliveCountMax=2";
}  // namespace transfer_bounds

// curl reads the scheme without regard to case, and whatever slashes follow
// it ("https:/host" is an https URL too).
inline bool is_https_url(std::string_view url) {
  constexpr std::string_view scheme = "https:";
  if (url.size() < scheme.size()) return false;
  for (std::size_t i = 0; i < scheme.size(); ++i) {
    const char c = url[i] >= 'A' && url[i] <= 'Z' ? static_cast<char>(url[i] - 'A' + 'a') : url[i];
    if (c != scheme[i]) return false;
  }
  return true;
}

// curl with a form's own options, the shared bounds and the URL last.
// Redirects never downgrade: from an https URL only to https, from any other
// only to http or https (curl would otherwise follow one to ftp).
inline HostCommand curl_bounded(std::vector<std::string> args, std::string url) {
  args.insert(args.end(), {"--connect-timeout", transfer_bounds::connect_timeout, "--speed-limit",
                           transfer_bounds::low_speed_limit, "--speed-time", transfer_bounds::low_speed_time(),
                           "--proto-redir", is_https_url(url) ? "=https" : "=http,https"});
  args.push_back(std::move(url));
  return {"curl", std::move(args)};
}

// curl: status 0 only for a completed transfer (-f fails on HTTP errors).
inline HostCommand curl_fetch_bundle(std::string url) {
  // A serve cycle has an overall bound of its own as well; a bundle that
  // curl is told is too large is refused before a byte of it arrives.
  return curl_bounded({"-fsSL", "--max-filesize", std::to_string(kBundleSizeLimit), "--max-time", "300"},
                      std::move(url));
}
// The download forms write to standard output, which is the descriptor of
// a file the agent made: curl never opens a path of its own.
inline HostCommand curl_download(std::string url) { return curl_bounded({"-fSL"}, std::move(url)); }
inline HostCommand curl_download_archive(std::string url) {
  return curl_bounded({"-fSL", "-m", "300", "--max-filesize", "536870912"}, std::move(url));
}
inline HostCommand curl_gpg_key(std::string file, std::string url) {
  return curl_bounded({"-fsSL", "-o", std::move(file)}, std::move(url));
}

// systemctl: status 0; "is-active" 0 for an active unit; "is-enabled" only
// its trimmed output "enabled" or "enabled-runtime".
inline HostCommand systemctl_daemon_reload() { return {"systemctl", {"daemon-reload"}}; }
inline HostCommand systemctl_verb(std::string verb, std::string unit) {
  return {"systemctl", {std::move(verb), std::move(unit)}};
}

// docker compose -f FILE ...: status 0; "ps -q" lists container ids.
inline std::string compose_file_path(const std::string& project_dir) { return project_dir + "/docker-compose.yml"; }
inline HostCommand docker_compose(std::string compose_file, std::vector<std::string> subcommand) {
  HostCommand command{"docker", {"compose", "-f", std::move(compose_file)}};
  command.args.insert(command.args.end(), subcommand.begin(), subcommand.end());
  return command;
}

// which: status 0 when the program is present.
inline HostCommand which(std::string program) { return {"which", {std::move(program)}}; }

// Package managers: status 0; "dpkg -s" also its "Status:" line.
inline HostCommand dpkg_status(std::string package) { return {"dpkg", {"-s", std::move(package)}}; }
inline HostCommand apt_get_update() { return {"apt-get", {"update", "-qq"}}; }
inline HostCommand apt_get_install(std::string package) { return {"apt-get", {"install", "-y", std::move(package)}}; }
inline HostCommand apt_get_remove(std::string package) { return {"apt-get", {"remove", "-y", std::move(package)}}; }
inline HostCommand rpm_query(std::string package) { return {"rpm", {"-q", std::move(package)}}; }
inline HostCommand dnf_makecache() { return {"dnf", {"makecache", "-q"}}; }
inline HostCommand dnf_install(std::string package) { return {"dnf", {"install", "-y", std::move(package)}}; }
inline HostCommand dnf_remove(std::string package) { return {"dnf", {"remove", "-y", std::move(package)}}; }
inline HostCommand pacman_query(std::string package) { return {"pacman", {"-Qi", std::move(package)}}; }
inline HostCommand pacman_refresh() { return {"pacman", {"-Sy"}}; }
inline HostCommand pacman_install(std::string package) {
  return {"pacman", {"-S", "--noconfirm", std::move(package)}};
}
inline HostCommand pacman_remove(std::string package) {
  return {"pacman", {"-R", "--noconfirm", std::move(package)}};
}

// lsb_release -cs: status 0 and the suite on standard output.
inline HostCommand lsb_release_codename() { return {"lsb_release", {"-cs"}}; }

// File tools.
inline HostCommand mkdir_parents(std::string dir) { return {"mkdir", {"-p", std::move(dir)}}; }
inline HostCommand chmod(std::string mode, std::string path) { return {"chmod", {std::move(mode), std::move(path)}}; }
inline HostCommand tar_extract(std::string archive, std::string dir) {
  return {"tar",
          {"--no-same-owner", "--no-same-permissions", "--no-overwrite-dir", "-xzf", std::move(archive), "-C",
           std::move(dir)}};
}
inline HostCommand unzip(std::string archive, std::string dir) {
  return {"unzip", {"-o", std::move(archive), "-d", std::move(dir)}};
}
// restorecon: nothing is relied on; whether it runs is ignored.
inline HostCommand restorecon(std::string path) { return {"restorecon", {std::move(path)}}; }

// git, started in the directory it works on: status 0; "rev-parse --verify"
// prints the commit; "config --get" status 0 when the key is set.
inline HostCommand git(std::vector<std::string> args) { return {"git", std::move(args)}; }

// Accounts: "id" status 0 when the account exists; group names from
// "id -nG" / "id -gn"; one passwd line from "getent passwd".
inline HostCommand id(std::string user) { return {"id", {std::move(user)}}; }
inline HostCommand id_groups(std::string user) { return {"id", {"-nG", std::move(user)}}; }
inline HostCommand id_primary_group(std::string user) { return {"id", {"-gn", std::move(user)}}; }
inline HostCommand getent_passwd(std::string user) { return {"getent", {"passwd", std::move(user)}}; }
inline HostCommand useradd(std::vector<std::string> args) { return {"useradd", std::move(args)}; }
inline HostCommand usermod(std::vector<std::string> args) { return {"usermod", std::move(args)}; }
inline HostCommand userdel(std::string user) { return {"userdel", {"-r", std::move(user)}}; }

// Mounts: "mountpoint -q" status 0 when mounted.
inline HostCommand mountpoint(std::string path) { return {"mountpoint", {"-q", std::move(path)}}; }
inline HostCommand mount(std::string path) { return {"mount", {std::move(path)}}; }
inline HostCommand umount(std::string path) { return {"umount", {std::move(path)}}; }

// sysctl: "-n" prints the current value.
inline HostCommand sysctl_read(std::string key) { return {"sysctl", {"-n", std::move(key)}}; }
inline HostCommand sysctl_write(const std::string& key, const std::string& value) {
  return {"sysctl", {"-w", key + "=" + value}};
}

// Host name and time zone: "timedatectl show" prints the current zone.
inline HostCommand hostnamectl_set(std::string name) { return {"hostnamectl", {"set-hostname", std::move(name)}}; }
inline HostCommand timedatectl_show_timezone() { return {"timedatectl", {"show", "-p", "Timezone", "--value"}}; }
inline HostCommand timedatectl_set(std::string zone) { return {"timedatectl", {"set-timezone", std::move(zone)}}; }

}  // namespace host_programs
}  // namespace toln
