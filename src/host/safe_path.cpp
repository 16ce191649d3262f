#include "host/safe_path.hpp"

#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <vector>

#include "host/path_checks.hpp"
#include "host/path_parts.hpp"

namespace toln {
namespace {

constexpr int kMaxLinks = 40;  // the kernel's own bound

UniqueFd open_dir(const char* path) { return UniqueFd(::open(path, O_PATH | O_DIRECTORY | O_CLOEXEC)); }

// The components still to walk, the next one last.
std::vector<std::string> reversed_components(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t end = path.size();
  while (end > 0) {
    const std::size_t slash = path.rfind('/', end - 1);
    const std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
    if (end > begin) parts.emplace_back(path.substr(begin, end - begin));
    if (slash == std::string_view::npos) break;
    end = slash;
  }
  return parts;
}

// The text of where the walk stands, for messages.
class Where {
 public:
  explicit Where(bool absolute) : text_(absolute ? "/" : "") {}
  void restart_at_root() { text_ = "/"; }
  void enter(const std::string& name) { text_ = child(name); }
  std::string child(const std::string& name) const {
    if (text_.empty()) return name;
    return text_.ends_with('/') ? text_ + name : text_ + "/" + name;
  }

 private:
  std::string text_;
};

// A link owned by a user other than root whose target is still being walked:
// it must end at an object owned by that user.
struct PendingLink {
  uid_t owner;
  std::size_t done_at;  // the count of components left once its target is walked
  std::string where;
};

std::string describe_owner(uid_t uid) { return "uid " + std::to_string(uid); }

AgentError unsafe_link_error(std::string_view path, const PendingLink& link, uid_t object_owner) {
  return AgentError::resource("refusing to follow symbolic link " + link.where + " in " + std::string(path) +
                              ": it is owned by " + describe_owner(link.owner) + " but leads to a file owned by " +
                              describe_owner(object_owner));
}

Result<std::string> read_link(int link_fd, const std::string& where) {
  std::string target(PATH_MAX, '\0');
  const ssize_t length = ::readlinkat(link_fd, "", target.data(), target.size());
  if (length < 0) {
    return AgentError::os("failed to read symbolic link " + where, errno);
  }
  target.resize(static_cast<std::size_t>(length));
  return target;
}

class Walk {
 public:
  Walk(std::string_view path, LastLink last)
      : path_(path), last_(last), where_(path.starts_with('/')), must_be_dir_(path.ends_with('/')) {}

  Result<ResolvedPath> run() {
    todo_ = reversed_components(path_);
    dir_ = open_dir(path_.starts_with('/') ? "/" : ".");
    if (!dir_.valid() || ::fstat(dir_.get(), &dir_st_) != 0) return missing(errno);
    if (path_.empty()) return missing(ENOENT);
    while (!todo_.empty()) {
      const std::string name = std::move(todo_.back());
      todo_.pop_back();
      const bool at_end = todo_.empty();
      if (name == "." || name == "..") {
        if (name == ".." && !step_up()) return missing(errno);
        if (auto settled = settle(dir_st_.st_uid); !settled) return std::move(settled).error();
        continue;
      }
      UniqueFd next(::openat(dir_.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
      struct stat st {};
      if (!next.valid() || ::fstat(next.get(), &st) != 0) {
        const int error = errno;
        if (auto checked = check_all_pending(); !checked) return std::move(checked).error();
        if (at_end) {
          result_.parent = std::move(dir_);
          result_.name = name;
        }
        return missing(error);
      }
      if (S_ISLNK(st.st_mode) && (!at_end || last_ == LastLink::Follow)) {
        if (at_end) result_.is_link = true;
        if (++links_ > kMaxLinks) return missing(ELOOP);
        auto followed = follow(next.get(), st, where_.child(name));
        if (!followed) return std::move(followed).error();
        if (*followed != 0) return missing(*followed);
        continue;
      }
      if (at_end) {
        if (S_ISLNK(st.st_mode)) result_.is_link = true;
        result_.parent = std::move(dir_);
        result_.name = name;
        if (auto settled = settle(st.st_uid); !settled) return std::move(settled).error();
        // "f/" names no file, as the kernel has it; a kept link is the link.
        if (must_be_dir_ && !S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode)) return missing(ENOTDIR);
        result_.object = std::move(next);
        result_.st = st;
        return std::move(result_);
      }
      if (!S_ISDIR(st.st_mode)) {
        if (auto checked = check_all_pending(); !checked) return std::move(checked).error();
        return missing(ENOTDIR);
      }
      dir_ = std::move(next);
      dir_st_ = st;
      where_.enter(name);
      if (auto settled = settle(st.st_uid); !settled) return std::move(settled).error();
    }
    // The path ended in "/", "." or "..": the object is the directory
    // reached, which has no name to give.
    result_.object = UniqueFd(::fcntl(dir_.get(), F_DUPFD_CLOEXEC, 0));
    if (!result_.object.valid()) return missing(errno);
    result_.st = dir_st_;
    return std::move(result_);
  }

 private:
  ResolvedPath missing(int error) {
    result_.object.reset();
    result_.missing_errno = error;
    return std::move(result_);
  }

  bool step_up() {
    UniqueFd up(::openat(dir_.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!up.valid() || ::fstat(up.get(), &dir_st_) != 0) return false;
    dir_ = std::move(up);
    where_.enter("..");
    return true;
  }

  // Continues the walk in the link's target: from "/" for an absolute one,
  // else from the link's own directory. 0, or why the target is missing.
  Result<int> follow(int link_fd, const struct stat& link_st, const std::string& where) {
    auto target = read_link(link_fd, where);
    if (!target) return std::move(target).error();
    if (target->empty()) return ENOENT;  // as the kernel has it
    if (todo_.empty() && target->ends_with('/')) must_be_dir_ = true;
    if (link_st.st_uid != 0) pending_.push_back({link_st.st_uid, todo_.size(), where});
    if (target->starts_with('/')) {
      UniqueFd root = open_dir("/");
      if (!root.valid() || ::fstat(root.get(), &dir_st_) != 0) return errno;
      dir_ = std::move(root);
      where_.restart_at_root();
    }
    auto parts = reversed_components(*target);
    todo_.insert(todo_.end(), parts.begin(), parts.end());
    // A target of "/" alone ends here.
    if (auto settled = settle(dir_st_.st_uid); !settled) return std::move(settled).error();
    return 0;
  }

  // Checks each link whose target has now been walked against the owner of
  // the object it reached.
  Status settle(uid_t owner) {
    while (!pending_.empty() && pending_.back().done_at >= todo_.size()) {
      if (pending_.back().owner != owner) return unsafe_link_error(path_, pending_.back(), owner);
      pending_.pop_back();
    }
    return {};
  }

  // The walk stops at something missing: every link still being walked
  // would have its object made in the directory reached.
  Status check_all_pending() {
    for (const PendingLink& link : pending_) {
      if (link.owner != dir_st_.st_uid) return unsafe_link_error(path_, link, dir_st_.st_uid);
    }
    return {};
  }

  std::string_view path_;
  LastLink last_;
  Where where_;
  std::vector<std::string> todo_;
  UniqueFd dir_;
  struct stat dir_st_ {};
  std::vector<PendingLink> pending_;
  int links_ = 0;
  // A slash ends the path, or the target of the link that ends it.
  bool must_be_dir_;
  ResolvedPath result_;
};

// openat2 refusing every link on the way, while the kernel offers it: a
// kernel before 5.6 answers ENOSYS, a container's seccomp profile may answer
// EPERM, and after either it is not asked again. Nothing when it is not
// offered; else the descriptor, invalid (errno set) when the call failed.
std::atomic<bool> openat2_refused{false};

std::optional<UniqueFd> openat2_without_links(const std::string& path, std::uint64_t flags) {
  if (openat2_refused.load(std::memory_order_relaxed)) return std::nullopt;
  open_how how{};
  how.flags = flags;
  how.resolve = RESOLVE_NO_SYMLINKS;
  UniqueFd fd(static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how)));
  if (!fd.valid() && (errno == ENOSYS || errno == EPERM)) {
    openat2_refused.store(true, std::memory_order_relaxed);
    return std::nullopt;
  }
  return fd;
}

// Most paths hold no link at all: then the kernel walks to the parent in one
// call, told to fail at the first link (which sends the path to the walk
// above), and the last component is looked at as the walk looks at it.
// Without a link on the way, a directory found missing (or no directory)
// is the walk's answer too: the kernel meets the components in the same
// order. Nothing when the path needs the walk.
std::optional<ResolvedPath> resolve_without_links(std::string_view path, LastLink last) {
  const PathParts parts = split_path(path);
  if (!parts.parent || parts.file_name.empty() || parts.file_name == ".") return std::nullopt;
  auto parent = openat2_without_links(*parts.parent, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (!parent) return std::nullopt;
  ResolvedPath resolved;
  if (!parent->valid()) {
    if (errno != ENOENT && errno != ENOTDIR) return std::nullopt;
    resolved.missing_errno = errno;
    return resolved;
  }
  resolved.parent = std::move(*parent);
  resolved.name = parts.file_name;
  resolved.object = UniqueFd(::openat(resolved.parent.get(), resolved.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!resolved.object.valid()) {
    if (errno != ENOENT) return std::nullopt;
    resolved.missing_errno = ENOENT;
    return resolved;
  }
  if (::fstat(resolved.object.get(), &resolved.st) != 0) return std::nullopt;
  if (S_ISLNK(resolved.st.st_mode)) {
    if (last == LastLink::Follow) return std::nullopt;
    resolved.is_link = true;
  } else if (path.ends_with('/') && !S_ISDIR(resolved.st.st_mode)) {
    resolved.object.reset();
    resolved.st = {};
    resolved.missing_errno = ENOTDIR;
  }
  return resolved;
}

}  // namespace

Result<ResolvedPath> resolve_path(std::string_view path, LastLink last) {
  if (auto checked = require_no_nul(path); !checked) return std::move(checked).error();
  if (auto quick = resolve_without_links(path, last)) return std::move(*quick);
  return Walk(path, last).run();
}

bool leads_somewhere(const ResolvedPath& kept) {
  struct stat followed {};
  return kept.exists() &&
         (!kept.is_link || ::fstatat(kept.parent.get(), kept.name.c_str(), &followed, 0) == 0);
}

Result<UniqueFd> open_resolved(const ResolvedPath& resolved, std::string_view path) {
  if (S_ISDIR(resolved.st.st_mode)) {
    UniqueFd fd(::openat(resolved.object.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return AgentError::os("failed to open " + std::string(path), errno);
    return fd;
  }
  if (!S_ISREG(resolved.st.st_mode) || !resolved.parent.valid()) {
    return AgentError::resource(std::string(path) + " is not a regular file");
  }
  UniqueFd fd(::openat(resolved.parent.get(), resolved.name.c_str(),
                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
    return AgentError::os("failed to open " + std::string(path), errno);
  }
  if (st.st_dev != resolved.st.st_dev || st.st_ino != resolved.st.st_ino) {
    return AgentError::resource(std::string(path) + " was replaced while it was being checked");
  }
  return fd;
}

namespace {

// open_path's way for a path without links, which costs what a plain open
// costs: the object is looked at first (fstatat, which opens nothing) and
// only a regular file or a directory is then opened, by the kernel refusing
// every link on the way; it must be the very object that was looked at.
// Anything missing is confirmed by the kernel refusing links too, since the
// look may have passed a link. Nothing when the path needs the walk.
std::optional<OpenedPath> open_without_links(const std::string& path) {
  OpenedPath opened;
  struct stat seen {};
  if (openat2_refused.load(std::memory_order_relaxed)) return std::nullopt;
  if (::fstatat(AT_FDCWD, path.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) return std::nullopt;
    auto object = openat2_without_links(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (!object || object->valid() || (errno != ENOENT && errno != ENOTDIR)) return std::nullopt;
    opened.missing_errno = errno;
    return opened;
  }
  if (!S_ISREG(seen.st_mode) && !S_ISDIR(seen.st_mode)) return std::nullopt;
  auto fd = openat2_without_links(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (!fd || !fd->valid() || ::fstat(fd->get(), &opened.st) != 0) return std::nullopt;
  if (opened.st.st_dev != seen.st_dev || opened.st.st_ino != seen.st_ino) return std::nullopt;
  opened.fd = std::move(*fd);
  opened.exists = true;
  return opened;
}

}  // namespace

Result<OpenedPath> open_path(std::string_view path) {
  if (auto checked = require_no_nul(path); !checked) return std::move(checked).error();
  if (auto quick = open_without_links(std::string(path))) return std::move(*quick);
  auto resolved = resolve_path(path, LastLink::Follow);
  if (!resolved) return std::move(resolved).error();
  OpenedPath opened;
  opened.exists = resolved->exists();
  opened.missing_errno = resolved->missing_errno;
  opened.st = resolved->st;
  if (opened.exists && (S_ISREG(opened.st.st_mode) || S_ISDIR(opened.st.st_mode))) {
    auto fd = open_resolved(*resolved, path);
    if (!fd) return std::move(fd).error();
    opened.fd = std::move(*fd);
  }
  return opened;
}

}  // namespace toln
