#pragma once
// Plain calls on paths in directories that root alone can write, such as
// /etc/apt and /etc/cron.d: they follow every symbolic link and look the
// path up again on each call. A path from the bundle, or any path another
// user may control, goes through safe_path.hpp instead; these may take one
// only to look at it (does it exist?), never to act on it.

#include <sys/stat.h>

#include <optional>
#include <string>

#include "model/result.hpp"

namespace toln {

// The path's metadata following symbolic links; absent on any failure, a
// NUL byte in the path included.
std::optional<struct stat> stat_path(const std::string& path);

// unlink; "failed to remove {path}: {}" with the OS error.
Status remove_file(const std::string& path);

}  // namespace toln
