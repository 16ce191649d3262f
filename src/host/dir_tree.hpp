#pragma once
// Directories and files made, removed and looked at by path.

#include <sys/stat.h>

#include <optional>
#include <string>

#include "model/result.hpp"

namespace toln {

// The path's metadata following symbolic links; absent on any failure.
std::optional<struct stat> stat_path(const std::string& path);

// The directory and its missing ancestors, mode 0777 before the umask; 0 or
// the errno. An empty path needs nothing.
int create_dir_all(const std::string& path);

// Removes a directory tree on descriptors, never following a symbolic link:
// a link at the path (trailing slashes or not) is removed itself, and so is
// one swapped in while the tree is being removed; a path that is neither is
// refused (ENOTDIR). Links on the way to it follow resolve_path's rule.
// 0, the errno, or an unsafe link's error.
Result<int> remove_dir_all(const std::string& path);

// Removes everything inside the directory open as dir_fd (any descriptor of
// it, O_PATH too) as remove_dir_all does below its top: no link inside is
// followed. 0 or the first errno.
[[nodiscard]] int empty_directory(int dir_fd);

// Whether removing the path would remove the whole file system tree ("/",
// "/tmp/..", or "." run from "/"). A symbolic link there is only unlinked.
bool is_root_directory(const std::string& path);

// unlink; 0 or the errno.
int remove_file(const std::string& path);

}  // namespace toln
