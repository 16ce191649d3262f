#pragma once
// hostname and timezone: one host-wide setting each, read, compared with the
// wanted value and changed through systemd's tools.

#include "resources/handler.hpp"

namespace toln {

// The current name is /etc/hostname, trimmed ("" when it cannot be read);
// changed with "hostnamectl set-hostname". A name hostnamectl would store
// rewritten (static_hostname_fault) is refused before anything runs.
HandlerResult apply_hostname(const ResolvedResource& resource, bool dry_run);

// The current zone is "timedatectl show -p Timezone --value", trimmed (""
// when it cannot run or fails); changed with "timedatectl set-timezone".
HandlerResult apply_timezone(const ResolvedResource& resource, bool dry_run);

}  // namespace toln
