#pragma once
// mount: one entry of /etc/fstab and the mounted state of its mount point.

#include "resources/handler.hpp"

namespace toln {

HandlerResult apply_mount(const ResolvedResource& resource, bool dry_run);

// "failed to write /etc/fstab: {}" around the write error's display text.
AgentError fstab_write_error(const AgentError& cause);

}  // namespace toln
