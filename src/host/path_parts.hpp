#pragma once
// A path's parent directory and file name, taken from its text alone.

#include <optional>
#include <string>
#include <string_view>

namespace toln {

struct PathParts {
  std::optional<std::string> parent;  // absent: the root or an empty path
  std::string file_name;              // "" when the path has none
};

// Trailing slashes are ignored; a bare name has the current directory "." as
// its parent; a path ending in ".." has no file name.
PathParts split_path(std::string_view path);

}  // namespace toln
