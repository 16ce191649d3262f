#pragma once
// file: one regular file with wanted contents (given, or copied from a host
// file), permission bits and owner. Properties not given are not managed.

#include "resources/handler.hpp"

namespace toln {

HandlerResult apply_file(const ResolvedResource& resource, bool dry_run);

}  // namespace toln
