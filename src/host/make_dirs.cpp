#include <sys/stat.h>

#include <cerrno>

#include "host/path_parts.hpp"
#include "host/safe_path.hpp"

namespace toln {

Status make_dirs(const std::string& path, std::string_view context) {
  auto resolved = resolve_path(path, LastLink::Follow);
  if (!resolved) return std::move(resolved).error();
  if (!resolved->exists() && !resolved->parent.valid() && resolved->missing_errno == ENOENT) {
    const auto parent = split_path(path).parent;
    if (!parent) return AgentError::os(context, ENOENT);
    if (auto made = make_dirs(*parent, context); !made) return made;
    resolved = resolve_path(path, LastLink::Follow);
    if (!resolved) return std::move(resolved).error();
  }
  if (resolved->exists()) {
    if (!S_ISDIR(resolved->st.st_mode)) return AgentError::os(context, EEXIST);
    return {};
  }
  if (!resolved->parent.valid()) return AgentError::os(context, resolved->missing_errno);
  // As mkdir has it, a dangling link is no place for a directory, nor is
  // "f/" where f is a file.
  if (resolved->is_link || resolved->missing_errno == ENOTDIR) return AgentError::os(context, EEXIST);
  if (::mkdirat(resolved->parent.get(), resolved->name.c_str(), 0777) != 0 && errno != EEXIST) {
    return AgentError::os(context, errno);
  }
  return {};
}

Result<ResolvedPath> resolve_making_parents(const std::string& path, LastLink last, std::string_view context) {
  if (const auto parent = split_path(path).parent) {
    if (auto made = make_dirs(*parent, context); !made) return std::move(made).error();
  }
  return resolve_path(path, last);
}

}  // namespace toln
