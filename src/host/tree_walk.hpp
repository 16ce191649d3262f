#pragma once
// The two jobs done on a whole tree that another user may own: emptying it
// and changing its owners. Both start from a descriptor of the directory
// that was checked and reach every entry by name from the descriptor of the
// directory that holds it, never following a symbolic link: a link swapped
// in during the walk is acted on as a link. A failure does not stop the
// walk; the first one is the error, AgentError::os(context, errno).
//
// Descriptors are bounded whatever the depth: only the last 16 directories
// entered stay open (two descriptors each). Of a directory above them, what
// is left of its listing is read ahead and its descriptors are closed; the
// walk comes back to it through ".." of the directory below, and only if
// that is still the same directory (device and inode): one moved meanwhile
// ends the walk with ENOENT.

#include <string_view>

#include "host/owners.hpp"
#include "model/result.hpp"

namespace toln {

// A tree deeper than this, which another user can make in its own directory
// in seconds, fails with ENAMETOOLONG instead of being walked: the
// directories below this depth are left as they are.
inline constexpr int kMaxTreeDepth = 1024;

// Removes everything inside the directory open as dir_fd (any descriptor of
// it, O_PATH too). Every entry is first unlinked as a file, which never
// follows a link; only what then proves a directory is opened, without
// following a link either, emptied in turn and removed.
Status empty_directory(int dir_fd, std::string_view context);

// Changes the owner of everything inside the directory open as dir_fd, each
// entry through a descriptor of the entry itself (change_entry_owner: a
// link's own owner, never what it leads to).
Status change_owner_below(int dir_fd, const OwnerIds& ids, std::string_view context);

}  // namespace toln
