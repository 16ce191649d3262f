#include "host/foreign_files.hpp"

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

bool is_bait(const struct stat& dir, const struct stat& entry, const std::optional<OwnerIds>& wanted) {
  if (!is_planted(dir, entry)) return false;
  if (S_ISLNK(entry.st_mode)) return true;
  return S_ISREG(entry.st_mode) && !(wanted && owned_as_wanted(entry, *wanted));
}

Result<std::optional<ResolvedPath>> find_bait(const std::string& path, const std::optional<OwnerIds>& wanted) {
  auto entry = resolve_path(path, LastLink::Keep);
  if (!entry) return std::move(entry).error();
  struct stat dir {};
  if (!entry->exists() || !entry->parent.valid() || ::fstat(entry->parent.get(), &dir) != 0 ||
      !is_bait(dir, entry->st, wanted)) {
    return std::optional<ResolvedPath>();
  }
  return std::optional<ResolvedPath>(std::move(*entry));
}

std::string not_kept_message(uid_t uid) {
  return "owner and mode of uid " + std::to_string(uid) + "'s file not kept";
}

AgentError refused_in_place(const std::string& path, const std::string& owner, uid_t uid) {
  return AgentError::resource("refusing to give " + path + " to " + owner + " in place: it belongs to uid " +
                              std::to_string(uid));
}

}  // namespace toln
