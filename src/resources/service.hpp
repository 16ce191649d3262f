#pragma once
// service: one systemd unit held running or stopped and, when asked,
// enabled or disabled, through systemctl.

#include <string>

#include "model/result.hpp"
#include "resources/handler.hpp"

namespace toln {

// Probes the unit (in dry-run too) and starts, stops, enables or disables
// it as the properties ask; the first failing verb ends the resource.
HandlerResult apply_service(const ResolvedResource& resource, bool dry_run);

// "systemctl" verb unit; a status other than 0 gives
// "systemctl {} {} failed: {}" with the untrimmed standard error.
Status systemctl_verb(const std::string& verb, const std::string& unit);

}  // namespace toln
