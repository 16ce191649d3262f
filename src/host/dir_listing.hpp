#pragma once
// Listing a directory that another user may own: the entries are read
// through a descriptor of the very directory that was checked.

#include <dirent.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "model/result.hpp"

namespace toln {

class DirListing {
 public:
  // Lists the directory open as dir_fd (any descriptor of it, O_PATH too).
  explicit DirListing(int dir_fd);

  // The next entry's name, "." and ".." left out; nothing at the end of the
  // listing or on a failure (status tells which).
  std::optional<std::string> next();

  // Success while the listing works; else the failure of its opening or of
  // the last read, as AgentError::os(context, errno).
  [[nodiscard]] Status status(std::string_view context) const;

 private:
  std::unique_ptr<DIR, int (*)(DIR*)> dir_{nullptr, ::closedir};
  int error_ = 0;
};

}  // namespace toln
