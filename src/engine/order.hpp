#pragma once
// Dependency ordering: resources arranged into levels by their `after` lists.

#include <vector>

#include "model/bundle.hpp"
#include "model/result.hpp"

namespace toln {

// Each level holds non-owning pointers into the input list, sorted by id.
using ResourceLevels = std::vector<std::vector<const ResolvedResource*>>;

// Errors (AgentError::Config): "resource {} depends on unknown resource {}",
// "circular dependency detected in resources" (a cycle, or two resources with
// one id).
Result<ResourceLevels> order_resources(const std::vector<ResolvedResource>& resources);

}  // namespace toln
