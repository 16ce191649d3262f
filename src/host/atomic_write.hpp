#pragma once
// The atomic replacement of a file's contents. Every error is an
// AgentError::Resource.

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/owners.hpp"
#include "host/safe_path.hpp"
#include "host/unique_fd.hpp"
#include "model/result.hpp"

namespace toln {

// Replaces the target's contents so that a reader sees either the old or the
// new file. The target is resolved by resolve_path's rule (an unsafe link on
// the way fails with its error) and written by atomic_write_at.
Status atomic_write(const std::string& path, std::string_view data, std::optional<std::uint32_t> mode);

// The same on the entry the path names, resolved already with
// LastLink::Keep (its directory is where the new file goes); hands back
// the new file's descriptor (open for writing). A symbolic link at the
// entry is refused. The new file is a PendingFile beside it: it gets the
// target's owner and group (when it existed), then the mode (the given
// one, else the existing bits, else 0644), and is committed; "restorecon"
// is run on the path, its outcome ignored. Bait at the entry (is_bait: a
// link included) is replaced as if it were not there: its owner and mode
// are not taken over. With an owner, the new file gets that owner (an id it
// leaves out stays the existing file's) before its mode, and before it has
// a name: no one but that owner ever owns it ("set owner on temp: {}"). On
// failure the target is untouched and no temporary file is left.
Result<UniqueFd> atomic_write_at(const ResolvedPath& entry, const std::string& path, std::string_view data,
                                 std::optional<std::uint32_t> mode,
                                 const std::optional<OwnerIds>& owner = std::nullopt);

}  // namespace toln
