#include "resources/cron.hpp"

namespace toln {

std::string render_cron_file(std::string_view user, const std::vector<CronJob>& jobs,
                             const std::optional<std::string>& mailto, const TomlTable* env) {
  std::string text = "# Managed by toln \u2014 do not edit manually\n";
  if (mailto) text += "MAILTO=" + *mailto + "\n";
  if (env) {
    for (const auto& [key, value] : *env) {
      if (const auto* string_value = value.as_string()) text += key + "=" + *string_value + "\n";
    }
  }
  if (mailto || (env && !env->empty())) text += "\n";
  for (const auto& job : jobs) text += job.schedule + "  " + std::string(user) + "  " + job.command + "\n";
  return text;
}

}  // namespace toln
