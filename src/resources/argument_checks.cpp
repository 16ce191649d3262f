#include "resources/argument_checks.hpp"

#include <string>

#include "text/nul_byte.hpp"

namespace toln {

Status require_no_nul_byte(std::string_view resource_type, std::string_view what, std::string_view value) {
  if (!has_nul_byte(value)) return {};
  return AgentError::resource(std::string(resource_type) + " resource: " + std::string(what) + " contains a NUL byte");
}

Status require_not_option_like(std::string_view resource_type, std::string_view what, std::string_view value) {
  if (auto checked = require_no_nul_byte(resource_type, what, value); !checked) return checked;
  if (!value.starts_with('-')) return {};
  return AgentError::resource(std::string(resource_type) + " resource: " + std::string(what) +
                              " must not begin with '-': " + std::string(value));
}

}  // namespace toln
