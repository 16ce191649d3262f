#pragma once
// Resource types a bundle declares in its resource_defs table: a check
// command that tells whether a resource is in its wanted state and an apply
// command that brings it there, both "sh -c" with the declared parameters in
// the environment as "TOLN_PARAM_{name}".

#include <optional>
#include <string>

#include "resources/handler.hpp"

namespace toln {

// The environment text of a value: a string as it is, an integer in decimal,
// a float by float_text, a boolean as "true" or "false"; nothing for a
// date-time, an array or a table.
std::optional<std::string> param_env_value(const TomlValue& value);

// Runs the check (in dry-run too). Its exit status decides: 0 ok; 1 a change
// is needed, whose diff is the check's trimmed output (else "would change" /
// "changed"), made by the apply unless dry_run; another code or a signal
// fails. The apply's output is not used.
HandlerResult apply_resource_def(const ResolvedResource& resource, const ResourceDef& def, bool dry_run);

}  // namespace toln
