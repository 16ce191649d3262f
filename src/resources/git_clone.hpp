#pragma once
// A clone made whole or not at all: git clones into a private directory
// beside the checkout's path, which is renamed into place only once the
// clone has finished. A clone that is killed leaves no half-made checkout at
// the path, only a private directory, which the next clone beside it
// removes.

#include <optional>
#include <string>

#include "host/safe_path.hpp"
#include "model/result.hpp"

namespace toln {

struct CloneRequest {
  std::string url;
  std::string path;  // as written, for messages
  std::optional<std::string> ref;
  std::optional<std::string> depth;
};

// Clones into place at the resolved path, which is missing or an empty
// directory (replaced by the clone, which takes its owner, group and mode).
// Missing directories on the way are made first. Errors: the runner's, "{}
// failed: {}" of "git clone" and "git checkout", "failed to create dir: {}",
// "failed to move the clone to {path}: {}", and "git resource: refusing to
// clone into {path}" for a path that names no entry of a directory (".").
Status clone_into_place(const CloneRequest& request, ResolvedPath resolved);

// The name of a private directory beside an entry called name:
// ".{name}.toln-clone.{16 hexadecimal digits}", the name cut (at a character
// boundary) so that the whole fits a file name.
std::string private_clone_name(const std::string& name, const std::string& random_part);

// Whether entry is such a name beside name.
bool is_private_clone_name(const std::string& entry, const std::string& name);

}  // namespace toln
