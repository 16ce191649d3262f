#pragma once
// directory: a directory that exists with a mode, owner and group, or that
// is removed with everything below it.

#include "resources/handler.hpp"

namespace toln {

HandlerResult apply_directory(const ResolvedResource& resource, bool dry_run);

}  // namespace toln
