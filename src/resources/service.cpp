#include "resources/service.hpp"

#include <string_view>
#include <vector>

#include "host/process.hpp"
#include "resources/props.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

Result<bool> unit_active(const std::string& unit) {
  auto probe = run(host_programs::systemctl_verb("is-active", unit));
  if (!probe) return std::move(probe).error();
  return probe->status == 0;
}

// What "systemctl is-enabled" prints, trimmed. Only the printed answer
// counts: is-enabled exits non-zero for some enabled states.
Result<std::string> enablement(const std::string& unit) {
  auto probe = run(host_programs::systemctl_verb("is-enabled", unit));
  if (!probe) return std::move(probe).error();
  return std::string(trim_white(lossy_utf8(probe->stdout_bytes)));
}

// Enabled by the unit's own [Install] section, and so undone by "disable".
bool enabled_by_install(std::string_view answer) { return answer == "enabled" || answer == "enabled-runtime"; }

// Every answer systemd itself counts as enabled: a static unit (no [Install]
// section), an indirect one (only Also=), a generated, transient or alias
// unit cannot be enabled further, and "enable" on it changes nothing.
bool counts_as_enabled(std::string_view answer) {
  return enabled_by_install(answer) || answer == "static" || answer == "indirect" || answer == "generated" ||
         answer == "transient" || answer == "alias";
}

}  // namespace

Status systemctl_verb(const std::string& verb, const std::string& unit) {
  auto ran = run(host_programs::systemctl_verb(verb, unit));
  if (!ran) return std::move(ran).error();
  if (ran->status != 0) {
    return AgentError::resource("systemctl " + verb + " " + unit + " failed: " + stderr_text(*ran));
  }
  return {};
}

HandlerResult apply_service(const ResolvedResource& resource, bool dry_run) {
  auto unit = prop_required(resource, "name");
  if (!unit) return std::move(unit).error();
  const std::string state = prop_str_or(resource, "state", "running");
  const auto enabled = prop_bool(resource, "enabled");
  // systemctl runs as root: a unit it would read as an option is refused.
  if (unit->starts_with('-')) return AgentError::resource("invalid service name: " + *unit);

  std::vector<std::string> messages;
  auto change = [&](std::string message, const char* verb) -> Status {
    messages.push_back(*unit + ": " + std::move(message));
    if (dry_run) return {};
    return systemctl_verb(verb, *unit);
  };

  auto active = unit_active(*unit);
  if (!active) return std::move(active).error();
  Status running;
  if (state == "running" && !*active) running = change("stopped → running", "start");
  if (state == "stopped" && *active) running = change("running → stopped", "stop");
  if (!running) return std::move(running).error();

  if (enabled) {
    auto answer = enablement(*unit);
    if (!answer) return std::move(answer).error();
    Status enabling;
    if (*enabled && !counts_as_enabled(*answer)) enabling = change("disabled → enabled", "enable");
    if (!*enabled && enabled_by_install(*answer)) enabling = change("enabled → disabled", "disable");
    if (!enabling) return std::move(enabling).error();
  }
  return result_from_messages("service", resource.name, messages);
}

}  // namespace toln
