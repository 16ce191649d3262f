#include "resources/user_probe.hpp"

#include <set>

#include "text/unicode.hpp"

namespace toln {

std::optional<PasswdEntry> parse_getent_passwd(std::string_view line) {
  constexpr std::size_t kFields = 7;
  std::vector<std::string_view> pieces;
  while (pieces.size() + 1 < kFields) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) break;
    pieces.push_back(line.substr(0, colon));
    line.remove_prefix(colon + 1);
  }
  pieces.push_back(line);
  if (pieces.size() < kFields) return std::nullopt;
  return PasswdEntry{std::string(pieces[5]), std::string(trim_white_end(pieces[6]))};
}

std::vector<std::string> group_names(std::string_view groups) {
  std::vector<std::string> names;
  while (true) {
    const std::size_t comma = groups.find(',');
    names.emplace_back(trim_white(groups.substr(0, comma)));
    if (comma == std::string_view::npos) return names;
    groups.remove_prefix(comma + 1);
  }
}

bool groups_differ(std::string_view id_groups_output, std::string_view primary_group_output,
                   std::string_view wanted_groups) {
  const std::string_view primary = trim_white(primary_group_output);
  std::set<std::string, std::less<>> current;
  for (const auto word : split_white(id_groups_output)) {
    if (word != primary) current.emplace(word);
  }
  std::set<std::string, std::less<>> wanted;
  if (!trim_white(wanted_groups).empty()) {
    for (auto& name : group_names(wanted_groups)) wanted.insert(std::move(name));
  }
  return current != wanted;
}

std::vector<std::string> useradd_args(const std::string& name, const std::optional<std::string>& home,
                                      const std::optional<std::string>& shell,
                                      const std::optional<std::string>& groups) {
  std::vector<std::string> args = {"--system"};
  if (home) args.insert(args.end(), {"-d", *home, "-m"});
  if (shell) args.insert(args.end(), {"-s", *shell});
  if (groups) args.insert(args.end(), {"-G", *groups});
  args.push_back(name);
  return args;
}

std::vector<std::string> usermod_args(const PasswdEntry& current, const std::optional<std::string>& wanted_home,
                                      const std::optional<std::string>& wanted_shell, bool groups_differ,
                                      const std::optional<std::string>& groups) {
  std::vector<std::string> args;
  if (wanted_shell && *wanted_shell != current.shell) args.insert(args.end(), {"-s", *wanted_shell});
  if (wanted_home && *wanted_home != current.home) args.insert(args.end(), {"-d", *wanted_home, "-m"});
  if (groups_differ && groups) args.insert(args.end(), {"-G", *groups});
  return args;
}

}  // namespace toln
