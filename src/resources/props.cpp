#include "resources/props.hpp"

namespace toln {

const TomlValue* prop_value(const ResolvedResource& resource, std::string_view key) {
  const auto it = resource.props.find(key);
  return it == resource.props.end() ? nullptr : &it->second;
}

std::optional<std::string> prop_str(const ResolvedResource& resource, std::string_view key) {
  const TomlValue* value = prop_value(resource, key);
  const std::string* text = value ? value->as_string() : nullptr;
  if (!text) return std::nullopt;
  return *text;
}

std::string prop_str_or(const ResolvedResource& resource, std::string_view key, std::string_view fallback) {
  auto text = prop_str(resource, key);
  return text ? std::move(*text) : std::string(fallback);
}

Result<std::string> prop_required(const ResolvedResource& resource, std::string_view key) {
  auto text = prop_str(resource, key);
  if (!text) return AgentError::resource(resource.resource_type + " resource requires '" + std::string(key) + "'");
  return std::move(*text);
}

std::optional<bool> prop_bool(const ResolvedResource& resource, std::string_view key) {
  const TomlValue* value = prop_value(resource, key);
  const bool* flag = value ? value->as_bool() : nullptr;
  if (!flag) return std::nullopt;
  return *flag;
}

}  // namespace toln
