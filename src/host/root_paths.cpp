#include "host/root_paths.hpp"

#include <unistd.h>

#include <cerrno>

#include "host/path_checks.hpp"

namespace toln {

std::optional<struct stat> stat_path(const std::string& path) {
  struct stat st {};
  if (!require_no_nul(path) || ::stat(path.c_str(), &st) != 0) return std::nullopt;
  return st;
}

Status remove_file(const std::string& path) {
  const std::string context = "failed to remove " + path;
  if (!require_no_nul(path)) return AgentError::os(context, EINVAL);
  if (::unlink(path.c_str()) != 0) return AgentError::os(context, errno);
  return {};
}

}  // namespace toln
