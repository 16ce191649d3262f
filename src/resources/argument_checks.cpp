#include "resources/argument_checks.hpp"

#include <string>

namespace toln {

Status require_no_nul_byte(std::string_view resource_type, std::string_view what, std::string_view value) {
  if (value.find('\0') == std::string_view::npos) return {};
  return AgentError::resource(std::string(resource_type) + " resource: " + std::string(what) + " contains a NUL byte");
}

Status require_not_option_like(std::string_view resource_type, std::string_view what, std::string_view value) {
  if (auto checked = require_no_nul_byte(resource_type, what, value); !checked) return checked;
  if (!value.starts_with('-')) return {};
  return AgentError::resource(std::string(resource_type) + " resource: " + std::string(what) +
                              " must not begin with '-': " + std::string(value));
}

}  // namespace toln
