#include "host/shared_dirs.hpp"

namespace toln {

bool anyone_can_make_names(const struct stat& dir) {
  return (dir.st_mode & S_ISVTX) != 0 && (dir.st_mode & S_IWOTH) != 0;
}

bool is_planted(const struct stat& dir, const struct stat& entry) {
  return anyone_can_make_names(dir) && entry.st_uid != 0 && entry.st_uid != dir.st_uid;
}

}  // namespace toln
