#pragma once
// sysctl: one kernel parameter at run time, and optionally in the drop-in
// file /etc/sysctl.d/99-toln.conf.

#include "resources/handler.hpp"

namespace toln {

HandlerResult apply_sysctl(const ResolvedResource& resource, bool dry_run);

}  // namespace toln
