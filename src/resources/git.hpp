#pragma once
// git: a working copy at a path, cloned from a URL and held at a ref, or
// removed.

#include "resources/handler.hpp"

namespace toln {

HandlerResult apply_git(const ResolvedResource& resource, bool dry_run);

}  // namespace toln
