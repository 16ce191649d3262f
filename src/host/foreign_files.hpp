#pragma once
// Files that another user made, and the two rules that keep root from taking
// one over.
//
// A user who owns a file may hold it open or mapped for writing, and a
// change of its owner or mode closes neither: a file of theirs given to root
// with a set-user-id mode in place stays writable by them. So a user's file
// is never given to another owner or group where it stands: a resource that
// knows the contents writes a new file and renames it over; one that does
// not refuses. And where anyone can make a name (shared_dirs.hpp) a user's
// entry is bait, replaced as if it were not there.

#include <sys/stat.h>

#include <optional>
#include <string>

#include "host/owners.hpp"
#include "host/safe_path.hpp"
#include "model/result.hpp"

namespace toln {

// Whether giving a regular file the wanted ids would hand a file of a user
// other than root to another owner or group.
bool gives_away(const struct stat& file, const OwnerIds& wanted);

// Whether the entry a path names (resolved with LastLink::Keep, a link at
// its end being the entry) is bait: planted where anyone can make names,
// and not a regular file that already has the wanted ids (whose owner could
// write the new file anyway: the agent's own earlier work in /tmp
// converges). A link planted there is always bait. Root's entries never
// are, and their directory is not looked at. Errors: "failed to stat
// {path}: {}" when the directory cannot be looked at.
Result<bool> is_bait(const ResolvedPath& entry, const std::optional<OwnerIds>& wanted, const std::string& path);

// The change message of bait replaced: "owner and mode of uid {}'s file not
// kept" (the entry's owner).
std::string not_kept_message(uid_t uid);

// "refusing to give {path} to {owner} in place: it belongs to uid {}".
AgentError refused_in_place(const std::string& path, const std::string& owner, uid_t uid);

}  // namespace toln
