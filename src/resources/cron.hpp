#pragma once
// cron: one file "/etc/cron.d/{name}" rendered whole by the agent, with the
// job lines of one user, an optional MAILTO line and environment lines.
// Every text is validated first, so no property can add a line of its own
// or break the cron syntax.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "resources/handler.hpp"

namespace toln {

HandlerResult apply_cron(const ResolvedResource& resource, bool dry_run);

struct CronJob {
  std::string schedule;  // as written, separators included
  std::string command;
};

// Five fields (minute hour dom month weekday) of digits and "*,-/", each
// number within its field's maximum.
Status validate_cron_schedule(std::string_view schedule);
// No control character but tab.
Status check_cron_command(std::string_view command);
// No control character at all; label names the text in the error.
Status check_cron_field(std::string_view label, std::string_view text);
// A word cron reads as one (the user, an environment key): not empty, no
// white space, no "=".
Status check_cron_word(std::string_view label, std::string_view text);

std::string render_cron_file(std::string_view user, const std::vector<CronJob>& jobs,
                             const std::optional<std::string>& mailto, const TomlTable* env);

}  // namespace toln
