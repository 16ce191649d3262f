#pragma once
// The one point where the engine hands a resource to its handler.

#include "model/bundle.hpp"
#include "model/run_report.hpp"

namespace toln {

// Picks the handler by resource_type: a built-in type, else a provider of
// provider_defs, else a shell-defined type of resource_defs, else "unknown
// resource type: {}". Never fails: a handler's error comes back as a failed
// result carrying the error's display text.
ResourceResult apply_resource(const ResolvedResource& resource, bool dry_run, bool is_handler,
                              const ResourceDefTable& resource_defs, const ProviderDefTable& provider_defs);

}  // namespace toln
