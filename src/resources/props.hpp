#pragma once
// Reading a resource's properties. A property read as text counts only when
// it is a TOML string, one read as a boolean only when it is a TOML boolean;
// any other kind counts as absent.

#include <optional>
#include <string>
#include <string_view>

#include "model/bundle.hpp"
#include "model/result.hpp"

namespace toln {

// The value when it is a string, else the default.
std::string prop_str_or(const ResolvedResource& resource, std::string_view key, std::string_view fallback);

// The value when it is a string, else "{} resource requires '{}'" (the
// resource type, the key).
Result<std::string> prop_required(const ResolvedResource& resource, std::string_view key);

// The value when it is a string.
std::optional<std::string> prop_str(const ResolvedResource& resource, std::string_view key);

// The value when it is a boolean.
std::optional<bool> prop_bool(const ResolvedResource& resource, std::string_view key);

// The raw value, of any kind.
const TomlValue* prop_value(const ResolvedResource& resource, std::string_view key);

}  // namespace toln
