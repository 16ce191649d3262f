#include "host/path_parts.hpp"

namespace toln {

PathParts split_path(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path.empty() || path == "/") return {std::nullopt, ""};
  const std::size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  std::string parent = slash == std::string_view::npos ? "." : slash == 0 ? "/" : std::string(path.substr(0, slash));
  if (name == "..") name = {};
  return {parent, std::string(name)};
}

}  // namespace toln
