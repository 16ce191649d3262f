#pragma once
// What the user resource reads from the account probes, and the option lists
// it builds from the differences.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace toln {

struct PasswdEntry {
  std::string home;
  std::string shell;
};

// The sixth (home) and seventh (shell) field of a passwd line split at ":"
// into at most seven pieces, so the shell keeps any further ":"; trailing
// white space is dropped from the shell. Nothing for fewer than seven fields.
std::optional<PasswdEntry> parse_getent_passwd(std::string_view line);

// Whether the supplementary groups that "id -nG" lists, less the primary
// group that "id -gn" names, differ as a set from the comma-separated wanted
// groups (each name trimmed; an all-blank text wants none).
bool groups_differ(std::string_view id_groups_output, std::string_view primary_group_output,
                   std::string_view wanted_groups);

// The names of a comma-separated groups text, each trimmed of white space.
std::vector<std::string> group_names(std::string_view groups);

// "--system", then "-d" HOME "-m", "-s" SHELL, "-G" and the groups text as
// written, for those given; last the name.
std::vector<std::string> useradd_args(const std::string& name, const std::optional<std::string>& home,
                                      const std::optional<std::string>& shell,
                                      const std::optional<std::string>& groups);

// The usermod options, without the name, for what differs: "-s" SHELL,
// "-d" HOME "-m" (moving the old home's contents), "-G" and the groups
// argument (replacing the whole supplementary list).
std::vector<std::string> usermod_args(const PasswdEntry& current, const std::optional<std::string>& wanted_home,
                                      const std::optional<std::string>& wanted_shell, bool groups_differ,
                                      const std::optional<std::string>& groups);

}  // namespace toln
