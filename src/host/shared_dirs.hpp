#pragma once
// Directories where anyone may make a name.
//
// In a sticky directory that others can write (/tmp, /var/tmp, /dev/shm)
// any user may make an entry first, under a name the agent was told to
// manage, and keep it open or mapped. As the kernel's protected_regular and
// protected_symlinks rules do, only an entry of root or of the directory's
// owner is trusted there. Elsewhere (a 1730 cron spool, a user's home) a
// user's entries are theirs to keep and are not bait.

#include <sys/stat.h>

namespace toln {

// Sticky and writable by others.
bool anyone_can_make_names(const struct stat& dir);

// An entry another user may have planted: it stands in a directory where
// anyone can make names and belongs to neither root nor the directory's
// owner. A file is replaced as if it were not there; a directory is refused.
bool is_planted(const struct stat& dir, const struct stat& entry);

}  // namespace toln
