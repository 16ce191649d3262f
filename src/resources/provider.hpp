#pragma once
// Resource types a bundle implements as provider scripts: the script runs
// under its interpreter, gets one JSON request on standard input and prints
// one JSON response. The agent itself changes nothing: in a dry run the
// request's action is "plan", and what that means is the script's business.

#include <nlohmann/json.hpp>
#include <string>

#include "resources/handler.hpp"

namespace toln {

// The JSON value of a TOML value: date-times as their RFC 3339 text, NaN and
// the infinities as null, tables as objects with keys in byte order.
nlohmann::json toml_to_json(const TomlValue& value);

// "would change" in a dry run, else "changed".
std::string default_diff(bool dry_run);

// Writes the script to a private temporary file (removed on every path),
// runs "{interpreter...} {file}" with the request
// {"action","name","params","protocol_version":1,"type"} on standard input,
// and maps the response's status "ok", "changed" or "failed" to the result.
// A non-zero exit, a signal or a response that does not read gives a failed
// result; the agent's own failures (the file, the interpreter) are errors.
HandlerResult run_provider(const ResolvedResource& resource, const ProviderDef& def, bool dry_run);

}  // namespace toln
