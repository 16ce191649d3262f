#include "host/path_checks.hpp"

namespace toln {

Status require_no_nul(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return AgentError::resource("path contains a NUL byte: " + std::string(path));
  }
  return {};
}

}  // namespace toln
