#pragma once
// pkg: a set of system packages installed or removed through the host's
// package manager.

#include "resources/handler.hpp"

namespace toln {

// Queries every named package (in dry-run too) and installs the missing ones
// ("+{}") or removes the present ones ("-{}"), refreshing the package cache
// once before this resource's first installation. The first failure ends
// the resource; packages changed before it stay changed.
HandlerResult apply_pkg(const ResolvedResource& resource, bool dry_run);

}  // namespace toln
