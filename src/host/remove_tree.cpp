#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "host/dir_tree.hpp"
#include "host/safe_path.hpp"

namespace toln {
namespace {

// Empties the directory open as dir_fd. Every entry is first unlinked as a
// file, which never follows a link; only what then proves a directory is
// opened, without following a link either, and emptied in turn. 0 or the
// first errno.
int empty_directory(int dir_fd) {
  const int listing_fd = ::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing_fd < 0) return errno;
  const std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(listing_fd), ::closedir);
  if (!listing) {
    const int error = errno;
    ::close(listing_fd);
    return error;
  }
  int first_error = 0;
  errno = 0;
  while (const dirent* entry = ::readdir(listing.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (::unlinkat(dir_fd, name.c_str(), 0) == 0 || errno == ENOENT) continue;
    if (errno != EISDIR && errno != EPERM) {
      if (first_error == 0) first_error = errno;
      continue;
    }
    const UniqueFd sub(::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    int error = sub.valid() ? empty_directory(sub.get()) : errno;
    if (error == 0 && ::unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR) != 0) error = errno;
    if (error != 0 && first_error == 0) first_error = error;
    errno = 0;
  }
  return first_error != 0 ? first_error : errno;
}

}  // namespace

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
