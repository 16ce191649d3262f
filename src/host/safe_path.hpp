#pragma once
// The calls that are safe on a path from the bundle, or on any path that
// another user may control: resolving it, opening it to read, making its
// directories and removing a tree there (safe_path.cpp, make_dirs.cpp,
// remove_tree.cpp). Writing a file there: atomic_write.hpp, and
// pending_file.hpp for a writer that fills the file itself. Whole trees
// below a descriptor: tree_walk.hpp. Plain calls that follow links, for
// paths that root alone can write: root_paths.hpp.
//
// The agent runs as root and is pointed at paths inside directories that
// another user can write, who can replace any entry on the way with a
// symbolic link at any moment. resolve_path walks a path one component at a
// time on descriptors and reads every link itself, so what it returns is the
// object it checked, and a later change through those descriptors lands on
// that object whatever is renamed meanwhile.
//
// The rule for every link met, in place of a directory on the way or at the
// last component: a link owned by root is followed anywhere; a link owned by
// another user is followed only to an object owned by that same user (a
// deploy account's "current -> releases/42"). Where the link leads to
// something missing, the directory it would be made in counts. Any other
// link fails the resolution with "refusing to follow symbolic link {link}
// in {path}: ...". Plain directories carry no rule: a root-owned file inside
// a user's directory resolves as any other.

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "host/unique_fd.hpp"
#include "model/result.hpp"

namespace toln {

// What becomes of a symbolic link at the last component.
enum class LastLink {
  Follow,  // the object is what the link leads to (under the rule above)
  Keep,    // the object is the link itself: removing it leaves its target
};

// Where a path leads. A trailing slash names a directory, as the kernel has
// it: "f/" where f is anything else is missing with ENOTDIR (parent and name
// still given), and "link/" follows the link to a directory, except that
// with LastLink::Keep it names the link as "link" does.
struct ResolvedPath {
  // The directory holding the object as `name` (an O_PATH descriptor, good
  // for every *at call); through a followed link it is the directory of the
  // link's target. Invalid when a directory on the way is missing, and when
  // the path ends in no entry name ("/", ".", "dir/..").
  UniqueFd parent;
  std::string name;
  // The last component (as named in the path) was a symbolic link.
  bool is_link = false;
  // The object (O_PATH) and its metadata; invalid when it does not exist.
  UniqueFd object;
  struct stat st {};
  // Why the object is missing: ENOENT, ENOTDIR, EACCES, ELOOP (more than 40
  // links followed) and the like.
  int missing_errno = 0;

  bool exists() const { return object.valid(); }
};

// Resolves path from "/" or from the working directory. Errors: "path
// contains a NUL byte: {}" and the unsafe-link refusal; an object that
// cannot be reached is no error but missing, with the reason.
//
// Most paths hold no link: for them the kernel walks to the parent in one
// call that refuses every link on the way (openat2 with RESOLVE_NO_SYMLINKS,
// where the kernel offers it), and the last component is opened with O_PATH
// and looked at, as the walk does; a directory missing on the way costs
// that one call. A path with a link takes the walk, component by component.
Result<ResolvedPath> resolve_path(std::string_view path, LastLink last);

// Whether a path resolved with LastLink::Keep names something that is there
// when followed, as the kernel would follow it: an object that is no link,
// or a link whose target exists (only looked at, never acted on).
bool leads_somewhere(const ResolvedPath& kept);

// Opens the resolved object for reading or for a change of its mode and
// owner: a directory through its own descriptor, a regular file by name
// from `parent` without following links and without blocking, checked to be
// the very file that was resolved. Anything else fails with "{path} is not a
// regular file"; a file replaced since it was resolved with "{path} was
// replaced while it was being checked".
Result<UniqueFd> open_resolved(const ResolvedPath& resolved, std::string_view path);

// A path's object opened to be read or to have its mode and owner changed.
struct OpenedPath {
  // Open for reading: a regular file or a directory. Invalid when the object
  // is missing or is anything else (st then tells what).
  UniqueFd fd;
  struct stat st {};
  bool exists = false;
  int missing_errno = 0;  // as in ResolvedPath
};

// The object a path leads to under the rule above (resolve_path with
// LastLink::Follow), opened as open_resolved opens it when it is a regular
// file or a directory; anything else is only looked at (st tells what), and
// no parent is kept. A path
// without links costs what a plain open costs: the object is looked at
// without being opened (fstatat), then a regular file or a directory is
// opened by the kernel refusing every link on the way (openat2), and must
// be the object looked at; a missing one is confirmed the same way. Errors:
// those of resolve_path and open_resolved.
Result<OpenedPath> open_path(std::string_view path);

// Whether removing the path (resolved with LastLink::Keep) would remove the
// whole file system tree: "/", "/tmp/..", "." run from "/", or "link/"
// where the link leads there. A link named without a slash is only
// unlinked.
bool is_root_directory(const ResolvedPath& kept, std::string_view path);

// Removes the directory tree the path names (resolved with LastLink::Keep),
// as empty_directory (tree_walk.hpp) removes what is inside: a link there,
// trailing slashes or not, is removed itself; anything else than a
// directory fails with ENOTDIR. Errors: "failed to remove {path}: {}" with
// the OS error.
Status remove_dir_all(const ResolvedPath& kept, const std::string& path);

// Makes the directory and its missing ancestors (mode 0777 before the
// umask), each with mkdirat in a directory resolved as above. A directory
// already there is no error; anything else there is EEXIST, as mkdir has
// it (a file, a dangling link, "f/"). Errors: the unsafe-link refusal, and
// AgentError::os(context, errno) with the caller's words, such as "failed
// to create dir".
Status make_dirs(const std::string& path, std::string_view context);

// The path resolved once the directories above it are made (make_dirs on
// its parent, when it has one): for a path that was found missing because
// a directory on the way is.
Result<ResolvedPath> resolve_making_parents(const std::string& path, LastLink last, std::string_view context);

}  // namespace toln
