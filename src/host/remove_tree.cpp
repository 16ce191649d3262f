#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "host/safe_path.hpp"
#include "host/tree_walk.hpp"

namespace toln {

bool is_root_directory(const ResolvedPath& kept, std::string_view path) {
  struct stat root {};
  struct stat st = kept.st;
  if (!kept.exists() || ::stat("/", &root) != 0) return false;
  // "link/" is where the link leads, as the kernel reads it.
  if (kept.is_link && (!path.ends_with('/') || ::fstatat(kept.parent.get(), kept.name.c_str(), &st, 0) != 0)) {
    return false;
  }
  return S_ISDIR(st.st_mode) && st.st_dev == root.st_dev && st.st_ino == root.st_ino;
}

Status remove_dir_all(const ResolvedPath& kept, const std::string& path) {
  const std::string context = "failed to remove " + path;
  if (!kept.exists()) return AgentError::os(context, kept.missing_errno);
  if (!kept.parent.valid()) return AgentError::os(context, EINVAL);
  const int parent = kept.parent.get();
  if (kept.is_link) {
    if (::unlinkat(parent, kept.name.c_str(), 0) != 0) return AgentError::os(context, errno);
    return {};
  }
  if (!S_ISDIR(kept.st.st_mode)) return AgentError::os(context, ENOTDIR);
  if (auto emptied = empty_directory(kept.object.get(), context); !emptied) return emptied;
  if (::unlinkat(parent, kept.name.c_str(), AT_REMOVEDIR) != 0) return AgentError::os(context, errno);
  return {};
}

}  // namespace toln
