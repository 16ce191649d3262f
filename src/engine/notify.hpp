#pragma once
// Direct notify targets: a daemon reload, a unit restart or reload, a compose
// stack restart or start-up, each giving one report entry.

#include <string>
#include <string_view>
#include <utility>

#include "model/run_report.hpp"

namespace toln {

struct NotifyTarget {
  enum Kind { DaemonReload, Restart, Reload, DockerRestart, DockerUp, Unknown };
  Kind kind;
  std::string text;  // the unit, the compose directory, or the whole text
};

NotifyTarget parse_notify_target(std::string_view text);

// The entry's (type, name).
std::pair<std::string, std::string> notify_result_label(std::string_view text);

// Every character a Unicode letter or number, or one of "-", ".", "@", "_".
bool is_unit_name(std::string_view text);

// Checks the target, then runs its host command (or, in dry-run, says what
// it would run).
ResourceResult run_notify_target(std::string_view text, bool dry_run);

}  // namespace toln
