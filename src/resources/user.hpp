#pragma once
// user: one local system account present, with its home, shell and
// supplementary groups, or absent.

#include "resources/handler.hpp"

namespace toln {

HandlerResult apply_user(const ResolvedResource& resource, bool dry_run);

}  // namespace toln
