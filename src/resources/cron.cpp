#include "resources/cron.hpp"

#include <sys/stat.h>

#include <cerrno>

#include "host/atomic_write.hpp"
#include "host/file_errors.hpp"
#include "host/file_reading.hpp"
#include "host/root_paths.hpp"
#include "resources/props.hpp"

namespace toln {
namespace {

constexpr std::string_view kCronDir = "/etc/cron.d";

Status check_name(const std::string& name) {
  if (name.empty()) return AgentError::resource("cron name cannot be empty");
  for (char c : name) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                         c == '-';
    if (!allowed) {
      return AgentError::resource("cron name '" + name + "' contains invalid characters (allowed: [a-zA-Z0-9_-])");
    }
  }
  return {};
}

ResourceResult changed(const ResolvedResource& resource, std::string diff, std::optional<std::string> from,
                       std::optional<std::string> to) {
  ResourceResult result = result_changed("cron", resource.name, std::move(diff));
  result.from = std::move(from);
  result.to = std::move(to);
  return result;
}

HandlerResult remove_cron_file(const ResolvedResource& resource, const std::string& path, bool dry_run) {
  if (!stat_path(path)) return result_ok("cron", resource.name);
  std::optional<std::string> previous;
  if (auto read = read_file_opt(path); read) previous = std::move(*read);
  if (dry_run) return changed(resource, "would remove " + path, std::move(previous), std::nullopt);
  if (auto removed = remove_file(path); !removed) return std::move(removed).error();
  return changed(resource, "removed " + path, std::move(previous), std::nullopt);
}

Status check_env(const TomlTable& env) {
  for (const auto& [key, value] : env) {
    if (auto checked = check_cron_field("env key", key); !checked) return checked;
    if (auto checked = check_cron_word("env key", key); !checked) return checked;
    if (const auto* text = value.as_string()) {
      if (auto checked = check_cron_field("env value", *text); !checked) return checked;
    }
  }
  return {};
}

Result<CronJob> checked_job(std::string schedule, std::string command) {
  if (auto checked = validate_cron_schedule(schedule); !checked) return std::move(checked).error();
  if (auto checked = check_cron_command(command); !checked) return std::move(checked).error();
  return CronJob{std::move(schedule), std::move(command)};
}

Result<std::vector<CronJob>> multi_jobs(const TomlValue& jobs_value) {
  const TomlArray* jobs = jobs_value.as_array();
  if (!jobs) return AgentError::resource("cron 'jobs' must be an array of tables");
  if (jobs->empty()) return AgentError::resource("cron 'jobs' array must not be empty");
  std::vector<CronJob> result;
  for (std::size_t i = 0; i < jobs->size(); ++i) {
    const std::string index = std::to_string(i);
    const TomlTable* job = (*jobs)[i].as_table();
    if (!job) return AgentError::resource("cron 'jobs[" + index + "]' must be a table");
    const auto field = [job](std::string_view key) -> const std::string* {
      const auto found = job->find(key);
      return found == job->end() ? nullptr : found->second.as_string();
    };
    const std::string* schedule = field("schedule");
    if (!schedule) return AgentError::resource("cron 'jobs[" + index + "]' requires 'schedule'");
    const std::string* command = field("command");
    if (!command) return AgentError::resource("cron 'jobs[" + index + "]' requires 'command'");
    auto checked = checked_job(*schedule, *command);
    if (!checked) return std::move(checked).error();
    result.push_back(std::move(*checked));
  }
  return result;
}

Result<std::vector<CronJob>> declared_jobs(const ResolvedResource& resource) {
  const TomlValue* jobs = prop_value(resource, "jobs");
  const bool single = prop_value(resource, "schedule") || prop_value(resource, "command");
  if (jobs && single) {
    return AgentError::resource(
        "cron resource must use either 'jobs' (multi-job) or 'schedule'+'command' (single-job), not both");
  }
  if (jobs) return multi_jobs(*jobs);
  if (!single) return AgentError::resource("cron resource requires 'jobs' (multi-job) or 'schedule'+'command' (single-job)");
  const auto schedule = prop_str(resource, "schedule");
  const auto command = prop_str(resource, "command");
  if (!schedule || !command) return AgentError::resource("cron single-job form requires both 'schedule' and 'command'");
  auto job = checked_job(*schedule, *command);
  if (!job) return std::move(job).error();
  return std::vector<CronJob>{std::move(*job)};
}

// The whole file text, once every property has passed its checks.
Result<std::string> rendered_file(const ResolvedResource& resource) {
  auto user = prop_required(resource, "user");
  if (!user) return std::move(user).error();
  if (auto checked = check_cron_field("user", *user); !checked) return std::move(checked).error();
  // A blank or "=" would shift the user into the schedule or the command.
  if (auto checked = check_cron_word("user", *user); !checked) return std::move(checked).error();
  const auto mailto = prop_str(resource, "mailto");
  if (mailto) {
    if (auto checked = check_cron_field("mailto", *mailto); !checked) return std::move(checked).error();
  }
  const TomlValue* env_value = prop_value(resource, "env");
  const TomlTable* env = env_value ? env_value->as_table() : nullptr;
  if (env) {
    if (auto checked = check_env(*env); !checked) return std::move(checked).error();
  }
  auto jobs = declared_jobs(resource);
  if (!jobs) return std::move(jobs).error();
  return render_cron_file(*user, *jobs, mailto, env);
}

}  // namespace

HandlerResult apply_cron(const ResolvedResource& resource, bool dry_run) {
  if (auto checked = check_name(resource.name); !checked) return std::move(checked).error();
  const std::string path = std::string(kCronDir) + "/" + resource.name;
  if (prop_str_or(resource, "state", "present") == "absent") return remove_cron_file(resource, path, dry_run);

  auto text = rendered_file(resource);
  if (!text) return std::move(text).error();

  std::optional<std::string> previous;
  bool mode_right = false;
  if (const auto st = stat_path(path)) {
    auto read = read_file_opt(path);
    if (!read) return std::move(read).error();
    previous = std::move(*read);
    mode_right = (st->st_mode & 07777) == 0644;
  }
  if (previous == *text && mode_right) return result_ok("cron", resource.name);

  if (previous != *text) {
    if (dry_run) return changed(resource, "would write " + path, std::move(previous), std::move(*text));
    if (auto written = atomic_write(path, *text, 0644); !written) return write_failed_error(path, written.error());
    return changed(resource, "wrote " + path, std::move(previous), std::move(*text));
  }
  if (dry_run) return changed(resource, "would fix mode on " + path, std::move(previous), std::move(*text));
  if (::chmod(path.c_str(), 0644) != 0) return chmod_failed_error(path, errno);
  return changed(resource, "fixed mode on " + path, std::move(previous), std::move(*text));
}

}  // namespace toln
