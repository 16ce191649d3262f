#include "resources/git_clone.hpp"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "host/dir_listing.hpp"
#include "host/file_errors.hpp"
#include "host/random_name.hpp"
#include "host/tree_walk.hpp"
#include "resources/git_commands.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

constexpr std::string_view kCloneMark = ".toln-clone.";
constexpr std::size_t kRandomPart = 16;

std::string clone_prefix(const std::string& name) {
  const std::size_t room = NAME_MAX - 1 - kCloneMark.size() - kRandomPart;
  return "." + name.substr(0, floor_char_boundary(name, room)) + std::string(kCloneMark);
}

// Removes what killed clones left beside name: directories of root's with
// the names private directories have. A link there is never followed, nor
// is another user's directory touched. What cannot be removed stays for the
// next clone.
void remove_leftover_clones(int parent, const std::string& name) {
  std::vector<std::string> leftovers;
  DirListing listing(parent);
  while (const auto entry = listing.next()) {
    if (is_private_clone_name(*entry, name)) leftovers.push_back(*entry);
  }
  for (const auto& leftover : leftovers) {
    const UniqueFd dir(::openat(parent, leftover.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!dir.valid() || ::fstat(dir.get(), &st) != 0 || st.st_uid != 0) continue;
    if (empty_directory(dir.get(), "")) (void)::unlinkat(parent, leftover.c_str(), AT_REMOVEDIR);
  }
}

// The private directory a clone is made in, removed with what is in it
// unless it was moved into place.
class PrivateClone {
 public:
  static Result<PrivateClone> make(int parent, const std::string& name) {
    for (;;) {
      std::string entry = private_clone_name(name, random_name_part());
      // With the umask, as git makes the directory it clones into.
      if (::mkdirat(parent, entry.c_str(), 0777) != 0) {
        if (errno == EEXIST) continue;
        return create_dir_failed_error(errno);
      }
      UniqueFd dir(::openat(parent, entry.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      const int open_error = errno;
      PrivateClone clone(parent, std::move(entry), std::move(dir));
      if (!clone.dir_.valid()) return create_dir_failed_error(open_error);
      return clone;
    }
  }
  PrivateClone(PrivateClone&& other) noexcept
      : parent_(other.parent_), entry_(std::exchange(other.entry_, {})), dir_(std::move(other.dir_)) {}
  PrivateClone& operator=(PrivateClone&&) = delete;
  ~PrivateClone() {
    if (entry_.empty()) return;
    if (dir_.valid() && !empty_directory(dir_.get(), "")) return;
    (void)::unlinkat(parent_, entry_.c_str(), AT_REMOVEDIR);
  }

  int dir() const { return dir_.get(); }

  // Renames the clone to name: over an empty directory, whose owner, group
  // and mode it takes first, or where nothing may have appeared since.
  Status move_to(const std::string& name, const struct stat* replaced, const std::string& path) {
    if (replaced && (::fchown(dir_.get(), replaced->st_uid, replaced->st_gid) != 0 ||
                     ::fchmod(dir_.get(), replaced->st_mode & 07777) != 0)) {
      return move_failed(path, errno);
    }
    const int moved = replaced ? ::renameat(parent_, entry_.c_str(), parent_, name.c_str())
                               : ::renameat2(parent_, entry_.c_str(), parent_, name.c_str(), RENAME_NOREPLACE);
    if (moved != 0) return move_failed(path, errno);
    entry_.clear();
    return {};
  }

 private:
  PrivateClone(int parent, std::string entry, UniqueFd dir)
      : parent_(parent), entry_(std::move(entry)), dir_(std::move(dir)) {}

  static AgentError move_failed(const std::string& path, int errnum) {
    return AgentError::os("failed to move the clone to " + path, errnum);
  }

  int parent_;
  std::string entry_;  // empty once moved into place
  UniqueFd dir_;
};

// git reads a URL with no scheme and no colon before its first slash as a
// local path, which the clone, started in its private directory, would take
// from there: a relative one is made to mean what it meant from the agent's
// working directory.
std::string url_from_here(const std::string& url) {
  const auto colon = url.find(':');
  const auto slash = url.find('/');
  const bool local = url.find("://") == std::string::npos && (colon == std::string::npos || slash < colon);
  if (!local || url.starts_with('/')) return url;
  char cwd[PATH_MAX];
  if (::getcwd(cwd, sizeof cwd) == nullptr) return url;
  return std::string(cwd) + "/" + url;
}

Status clone_in(const CloneRequest& request, int parent, const std::string& name, const struct stat* replaced) {
  remove_leftover_clones(parent, name);
  auto clone = PrivateClone::make(parent, name);
  if (!clone) return std::move(clone).error();
  auto options = git_remote_options(clone->dir());
  if (!options) return std::move(options).error();
  const auto args = git_clone_args(url_from_here(request.url), ".", request.ref, request.depth);
  if (auto cloned = run_checked(host_programs::git(args), "git clone", *options); !cloned) return cloned;
  if (request.ref && is_commit_id(*request.ref)) {
    auto moved = run_checked(host_programs::git({"checkout", *request.ref}), "git checkout", git_options(clone->dir()));
    if (!moved) return moved;
  }
  return clone->move_to(name, replaced, request.path);
}

}  // namespace

std::string private_clone_name(const std::string& name, const std::string& random_part) {
  return clone_prefix(name) + random_part;
}

bool is_private_clone_name(const std::string& entry, const std::string& name) {
  const std::string prefix = clone_prefix(name);
  if (entry.size() != prefix.size() + kRandomPart || !entry.starts_with(prefix)) return false;
  return entry.find_first_not_of("0123456789abcdef", prefix.size()) == std::string::npos;
}

Status clone_into_place(const CloneRequest& request, ResolvedPath resolved) {
  if (!resolved.exists() && !resolved.parent.valid()) {
    auto again = resolve_making_parents(request.path, LastLink::Follow, "failed to create dir");
    if (!again) return std::move(again).error();
    resolved = std::move(*again);
  }
  if (!resolved.parent.valid()) return AgentError::resource("git resource: refusing to clone into " + request.path);
  return clone_in(request, resolved.parent.get(), resolved.name, resolved.exists() ? &resolved.st : nullptr);
}

}  // namespace toln
