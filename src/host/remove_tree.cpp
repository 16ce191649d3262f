#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "host/dir_listing.hpp"
#include "host/dir_tree.hpp"
#include "host/safe_path.hpp"

namespace toln {
namespace {

// Empties the directory open as dir_fd. Every entry is first unlinked as a
// file, which never follows a link; only what then proves a directory is
// opened, without following a link either, and emptied in turn. 0 or the
// first errno.
int empty_below(int dir_fd, int depth) {
  if (depth > kMaxTreeDepth) return ENAMETOOLONG;
  DirListing listing(dir_fd);
  int first_error = 0;
  while (const auto name = listing.next()) {
    // An entry gone meanwhile is as good as removed.
    if (::unlinkat(dir_fd, name->c_str(), 0) == 0 || errno == ENOENT) continue;
    if (errno != EISDIR && errno != EPERM) {
      if (first_error == 0) first_error = errno;
      continue;
    }
    const UniqueFd sub(::openat(dir_fd, name->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!sub.valid() && errno == ENOENT) continue;
    int error = sub.valid() ? empty_below(sub.get(), depth + 1) : errno;
    if (error == 0 && ::unlinkat(dir_fd, name->c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) error = errno;
    if (error != 0 && first_error == 0) first_error = error;
  }
  return first_error != 0 ? first_error : listing.error();
}

}  // namespace

int empty_directory(int dir_fd) { return empty_below(dir_fd, 1); }

Result<int> remove_dir_all(const std::string& path) {
  auto resolved = resolve_path(path, LastLink::Keep);
  if (!resolved) return std::move(resolved).error();
  if (!resolved->exists()) return resolved->missing_errno;
  if (!resolved->parent.valid()) return EINVAL;
  if (resolved->is_link) return ::unlinkat(resolved->parent.get(), resolved->name.c_str(), 0) == 0 ? 0 : errno;
  if (!S_ISDIR(resolved->st.st_mode)) return ENOTDIR;
  if (const int error = empty_directory(resolved->object.get()); error != 0) return error;
  return ::unlinkat(resolved->parent.get(), resolved->name.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
}

}  // namespace toln
