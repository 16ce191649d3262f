#pragma once
// Walking a directory tree that another user may own: the entries are read
// through a descriptor of the very directory that was checked, and a walk
// stops at a depth the agent can afford.

#include <dirent.h>

#include <memory>
#include <optional>
#include <string>

namespace toln {

// Each level of a walk holds descriptors and stack: a tree deeper than this,
// which another user can make in its own directory in seconds, fails with
// ENAMETOOLONG instead of ending the agent.
inline constexpr int kMaxTreeDepth = 1024;

class DirListing {
 public:
  // Lists the directory open as dir_fd (any descriptor of it, O_PATH too).
  explicit DirListing(int dir_fd);

  // 0 while the listing works, else the errno of its opening or of the last
  // read.
  int error() const { return error_; }

  // The next entry's name, "." and ".." left out; nothing at the end of the
  // listing or on a failure (error() tells which).
  std::optional<std::string> next();

 private:
  std::unique_ptr<DIR, int (*)(DIR*)> dir_{nullptr, ::closedir};
  int error_ = 0;
};

}  // namespace toln
