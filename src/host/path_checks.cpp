#include "host/path_checks.hpp"

#include "text/nul_byte.hpp"

namespace toln {

Status require_no_nul(std::string_view path) {
  if (has_nul_byte(path)) {
    return AgentError::resource("path contains a NUL byte: " + std::string(path));
  }
  return {};
}

}  // namespace toln
