#include "engine/notify.hpp"

#include <vector>

#include "host/host_programs.hpp"
#include "host/process.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

struct Prefix {
  std::string_view text;
  NotifyTarget::Kind kind;
};

constexpr Prefix kPrefixes[] = {
    {"restart:", NotifyTarget::Restart},
    {"reload:", NotifyTarget::Reload},
    {"docker-restart:", NotifyTarget::DockerRestart},
    {"docker:", NotifyTarget::DockerRestart},
    {"docker-up:", NotifyTarget::DockerUp},
};

// Why the target may not run, or nothing.
std::optional<std::string> refusal(std::string_view text, const NotifyTarget& target) {
  const bool prefixed_unit = text.starts_with("restart:") || text.starts_with("reload:");
  const bool unit = target.kind == NotifyTarget::Restart || target.kind == NotifyTarget::Reload;
  // A unit beginning with "-" would reach systemctl as an option.
  if ((prefixed_unit && !is_unit_name(target.text)) || (unit && target.text.starts_with('-'))) {
    return "invalid service name: " + target.text;
  }
  const bool docker = target.kind == NotifyTarget::DockerRestart || target.kind == NotifyTarget::DockerUp;
  if (docker && !target.text.starts_with('/')) {
    return "docker path must be absolute (start with /): " + target.text;
  }
  return std::nullopt;
}

std::optional<HostCommand> command_for(const NotifyTarget& target) {
  switch (target.kind) {
    case NotifyTarget::DaemonReload: return host_programs::systemctl_daemon_reload();
    case NotifyTarget::Restart: return host_programs::systemctl_verb("restart", target.text);
    case NotifyTarget::Reload: return host_programs::systemctl_verb("reload", target.text);
    case NotifyTarget::DockerRestart: return host_programs::docker_compose(host_programs::compose_file_path(target.text), {"restart"});
    case NotifyTarget::DockerUp: return host_programs::docker_compose(host_programs::compose_file_path(target.text), {"up", "-d"});
    case NotifyTarget::Unknown: return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

bool is_unit_name(std::string_view text) {
  if (text.empty() || !is_valid_utf8(text)) return false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const char32_t cp = next_code_point(text, pos);
    if (cp == '-' || cp == '.' || cp == '@' || cp == '_') continue;
    if (!is_alphanumeric(cp)) return false;
  }
  return true;
}

NotifyTarget parse_notify_target(std::string_view text) {
  if (text == "daemon-reload") return {NotifyTarget::DaemonReload, ""};
  for (const auto& prefix : kPrefixes) {
    if (text.starts_with(prefix.text)) return {prefix.kind, std::string(text.substr(prefix.text.size()))};
  }
  if (is_unit_name(text)) return {NotifyTarget::Restart, std::string(text)};
  return {NotifyTarget::Unknown, std::string(text)};
}

std::pair<std::string, std::string> notify_result_label(std::string_view text) {
  const NotifyTarget target = parse_notify_target(text);
  switch (target.kind) {
    case NotifyTarget::DaemonReload: return {"service", "systemd daemon-reload"};
    case NotifyTarget::Restart: return {"service", target.text + " (restart)"};
    case NotifyTarget::Reload: return {"service", target.text + " (reload)"};
    case NotifyTarget::DockerRestart: return {"docker_compose", target.text + " (restart)"};
    case NotifyTarget::DockerUp: return {"docker_compose", target.text + " (up)"};
    case NotifyTarget::Unknown: break;
  }
  return {"notify", target.text + " (notify)"};
}

ResourceResult run_notify_target(std::string_view text, bool dry_run) {
  auto [type, name] = notify_result_label(text);
  const NotifyTarget target = parse_notify_target(text);
  if (auto refused = refusal(text, target)) return result_failed(std::move(type), std::move(name), *refused);
  if (dry_run) return result_changed(std::move(type), std::move(name), "would run: " + std::string(text));

  const auto command = command_for(target);
  if (!command) {
    return result_failed(std::move(type), std::move(name), "notify failed: unknown notify target: " + std::string(text));
  }
  auto ran = run(*command, {.cause_only = true});
  if (!ran) return result_failed(std::move(type), std::move(name), "notify failed: " + ran.error().message());
  if (ran->status != 0) {
    return result_failed(std::move(type), std::move(name), "notify failed: " + stderr_text(*ran));
  }
  return result_changed(std::move(type), std::move(name), "executed: " + std::string(text));
}

}  // namespace toln
