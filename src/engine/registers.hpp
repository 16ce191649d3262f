#pragma once
// Registered values: placeholders "__TOLN_REG_" name "__TOLN_END__" inside the
// top-level string values of a resource's props, replaced by the registers.

#include <map>
#include <string>

#include "model/bundle.hpp"

namespace toln {

using Registers = std::map<std::string, std::string, std::less<>>;

// A copy of the resource with every top-level string prop through the
// replacement loop (leftmost first, stopping at the first placeholder that
// cannot be resolved).
ResolvedResource substitute_registered(const ResolvedResource& resource, const Registers& registers);

// True when some top-level string prop still holds "__TOLN_REG_".
bool has_register_placeholder(const ResolvedResource& resource);

}  // namespace toln
