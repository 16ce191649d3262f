#include "resources/service.hpp"

#include <vector>

#include "host/process.hpp"
#include "resources/props.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

Result<bool> unit_active(const std::string& unit) {
  auto probe = run_command(host_programs::systemctl_verb("is-active", unit));
  if (!probe) return std::move(probe).error();
  return probe->status == 0;
}

// Only the printed answer counts: is-enabled exits non-zero for some
// enabled states and zero for some that are not.
Result<bool> unit_enabled(const std::string& unit) {
  auto probe = run_command(host_programs::systemctl_verb("is-enabled", unit));
  if (!probe) return std::move(probe).error();
  const std::string answer = lossy_utf8(probe->stdout_bytes);
  const std::string_view word = trim_white(answer);
  return word == "enabled" || word == "enabled-runtime";
}

}  // namespace

Status systemctl_verb(const std::string& verb, const std::string& unit) {
  auto ran = run_command(host_programs::systemctl_verb(verb, unit));
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
    auto is_enabled = unit_enabled(*unit);
    if (!is_enabled) return std::move(is_enabled).error();
    Status enablement;
    if (*enabled && !*is_enabled) enablement = change("disabled → enabled", "enable");
    if (!*enabled && *is_enabled) enablement = change("enabled → disabled", "disable");
    if (!enablement) return std::move(enablement).error();
  }
  return result_from_messages("service", resource.name, messages);
}

}  // namespace toln
