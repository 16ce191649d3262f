#include "host/foreign_files.hpp"

#include <cerrno>

#include "host/shared_dirs.hpp"

namespace toln {
namespace {

// Whether the file already has the wanted ids (one not given matches).
bool owned_as_wanted(const struct stat& file, const OwnerIds& wanted) {
  return (!wanted.uid || *wanted.uid == file.st_uid) && (!wanted.gid || *wanted.gid == file.st_gid);
}

}  // namespace

bool gives_away(const struct stat& file, const OwnerIds& wanted) {
  return S_ISREG(file.st_mode) && file.st_uid != 0 && !owned_as_wanted(file, wanted);
}

Result<bool> is_bait(const ResolvedPath& entry, const std::optional<OwnerIds>& wanted, const std::string& path) {
  struct stat dir {};
  if (!entry.exists() || !entry.parent.valid() || entry.st.st_uid == 0) return false;
  if (::fstat(entry.parent.get(), &dir) != 0) return AgentError::os("failed to stat " + path, errno);
  if (!is_planted(dir, entry.st)) return false;
  if (S_ISLNK(entry.st.st_mode)) return true;
  return S_ISREG(entry.st.st_mode) && !(wanted && owned_as_wanted(entry.st, *wanted));
}

std::string not_kept_message(uid_t uid) {
  return "owner and mode of uid " + std::to_string(uid) + "'s file not kept";
}

AgentError refused_in_place(const std::string& path, const std::string& owner, uid_t uid) {
  return AgentError::resource("refusing to give " + path + " to " + owner + " in place: it belongs to uid " +
                              std::to_string(uid));
}

}  // namespace toln
