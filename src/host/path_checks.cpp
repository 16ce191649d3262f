#include "host/path_checks.hpp"

#include <sys/stat.h>

#include "text/nul_byte.hpp"

namespace toln {

Status require_no_nul(std::string_view path) {
  if (has_nul_byte(path)) {
    return AgentError::resource("path contains a NUL byte: " + std::string(path));
  }
  return {};
}

bool path_exists(const std::string& path) {
  struct stat st {};
  return require_no_nul(path).ok() && ::stat(path.c_str(), &st) == 0;
}

}  // namespace toln
