#include "resources/user.hpp"

#include "host/process.hpp"
#include "resources/argument_checks.hpp"
#include "resources/props.hpp"
#include "resources/user_probe.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

struct WantedAccount {
  std::string name;
  std::optional<std::string> home;
  std::optional<std::string> shell;
  std::optional<std::string> groups;
};

Status check_arguments(const WantedAccount& wanted) {
  if (auto checked = require_not_option_like("user", "'name'", wanted.name); !checked) return checked;
  if (wanted.home) {
    if (auto checked = require_not_option_like("user", "'home'", *wanted.home); !checked) return checked;
  }
  if (wanted.shell) {
    if (auto checked = require_not_option_like("user", "'shell'", *wanted.shell); !checked) return checked;
  }
  if (wanted.groups) {
    if (auto checked = require_no_nul_byte("user", "'groups'", *wanted.groups); !checked) return checked;
    for (const auto& group : group_names(*wanted.groups)) {
      if (auto checked = require_not_option_like("user", "group", group); !checked) return checked;
    }
  }
  return {};
}

// Standard output of a probe whose exit status is not judged, trimmed.
Result<std::string> probe_text(const HostCommand& command) {
  auto ran = run(command);
  if (!ran) return std::move(ran).error();
  return std::string(trim_white(lossy_utf8(ran->stdout_bytes)));
}

// Runs a changing account tool; any status but 0 is "{program} failed:
// {standard error}".
Status run_account_tool(const HostCommand& command) {
  auto ran = run(command);
  if (!ran) return std::move(ran).error();
  if (ran->status != 0) return AgentError::resource(command.program + " failed: " + stderr_text(*ran));
  return {};
}

HandlerResult remove_user(const ResolvedResource& resource, const WantedAccount& wanted, bool exists, bool dry_run) {
  if (!exists) return result_ok("user", resource.name);
  if (dry_run) return result_changed("user", resource.name, "would remove user " + wanted.name);
  if (auto removed = run_account_tool(host_programs::userdel(wanted.name)); !removed) return std::move(removed).error();
  return result_changed("user", resource.name, "removed user " + wanted.name);
}

HandlerResult create_user(const ResolvedResource& resource, const WantedAccount& wanted, bool dry_run) {
  if (dry_run) return result_changed("user", resource.name, "would create user " + wanted.name);
  const auto args = useradd_args(wanted.name, wanted.home, wanted.shell, wanted.groups);
  if (auto created = run_account_tool(host_programs::useradd(args)); !created) return std::move(created).error();
  return result_changed("user", resource.name, "created user " + wanted.name);
}

Result<bool> supplementary_groups_differ(const WantedAccount& wanted) {
  if (!wanted.groups) return false;
  auto listed = probe_text(host_programs::id_groups(wanted.name));
  if (!listed) return std::move(listed).error();
  auto primary = probe_text(host_programs::id_primary_group(wanted.name));
  if (!primary) return std::move(primary).error();
  return groups_differ(*listed, *primary, *wanted.groups);
}

HandlerResult modify_user(const ResolvedResource& resource, const WantedAccount& wanted, bool dry_run) {
  auto line = probe_text(host_programs::getent_passwd(wanted.name));
  if (!line) return std::move(line).error();
  const auto current = parse_getent_passwd(*line);
  if (!current) return AgentError::resource("could not parse getent passwd output for user " + wanted.name);
  auto differ = supplementary_groups_differ(wanted);
  if (!differ) return std::move(differ).error();

  std::vector<std::string> args = usermod_args(*current, wanted.home, wanted.shell, *differ, wanted.groups);
  if (args.empty()) return result_ok("user", resource.name);

  std::vector<std::string> messages;
  if (wanted.shell && *wanted.shell != current->shell) {
    messages.push_back("shell " + current->shell + " -> " + *wanted.shell);
  }
  if (wanted.home && *wanted.home != current->home) messages.push_back("home " + current->home + " -> " + *wanted.home);
  if (*differ) messages.push_back("groups -> " + *wanted.groups);

  if (!dry_run) {
    args.push_back(wanted.name);
    if (auto modified = run_checked(host_programs::usermod(std::move(args)), "usermod"); !modified) {
      return std::move(modified).error();
    }
  }
  return result_from_messages("user", resource.name, messages);
}

}  // namespace

HandlerResult apply_user(const ResolvedResource& resource, bool dry_run) {
  auto name = prop_required(resource, "name");
  if (!name) return std::move(name).error();
  const std::string state = prop_str_or(resource, "state", "present");
  const WantedAccount wanted{std::move(*name), prop_str(resource, "home"), prop_str(resource, "shell"),
                      prop_str(resource, "groups")};
  if (auto checked = check_arguments(wanted); !checked) return std::move(checked).error();

  auto probe = run(host_programs::id(wanted.name));
  if (!probe) return std::move(probe).error();
  const bool exists = probe->status == 0;

  if (state == "absent") return remove_user(resource, wanted, exists, dry_run);
  if (state != "present") return result_ok("user", resource.name);
  if (!exists) return create_user(resource, wanted, dry_run);
  return modify_user(resource, wanted, dry_run);
}

}  // namespace toln
