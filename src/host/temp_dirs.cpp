#include "host/temp_dirs.hpp"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "host/path_parts.hpp"
#include "host/safe_path.hpp"

namespace toln {
namespace {

// Why a user other than root and the agent's own could rename an entry of
// the directory, if anyone could.
std::optional<std::string> renamable_by_others(const struct stat& dir) {
  if (dir.st_uid != 0 && dir.st_uid != ::geteuid()) return "belongs to uid " + std::to_string(dir.st_uid);
  const bool others_write = (dir.st_mode & S_IWOTH) != 0 || ((dir.st_mode & S_IWGRP) != 0 && dir.st_gid != 0);
  // In a sticky directory only an entry's owner may rename it, and each
  // entry on the way down is found to be root's (or the agent's) in turn.
  if (others_write && (dir.st_mode & S_ISVTX) == 0) return "can be written by other users and is not sticky";
  return std::nullopt;
}

AgentError temp_dir_failed(const std::string& path, int errnum) {
  return AgentError::os("failed to create temp dir " + path, errnum);
}

// The path of an open directory as the kernel names it: no symbolic link
// left in it for anyone to swap.
Result<std::string> kernel_path(int fd) {
  std::string path(PATH_MAX, '\0');
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = ::readlink(link.c_str(), path.data(), path.size());
  if (length <= 0) return AgentError::io(length < 0 ? errno : ENOENT);
  path.resize(static_cast<std::size_t>(length));
  return path;
}

// Where private directories are made: the temporary root as the kernel
// names it, once it and every directory above it are found safe. A root
// that is missing or no directory is handed on as given, for mkdtemp to
// fail on.
Result<std::string> private_temp_root() {
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string given = tmpdir && *tmpdir ? tmpdir : "/tmp";
  auto resolved = resolve_path(given, LastLink::Follow);
  if (!resolved) return std::move(resolved).error();
  if (!resolved->exists() || !S_ISDIR(resolved->st.st_mode)) return given;
  const auto root = kernel_path(resolved->object.get());
  if (!root) return temp_dir_failed(given, root.error().os_errno());

  UniqueFd dir = std::move(resolved->object);
  struct stat st = resolved->st;
  std::string where = *root;
  for (;;) {
    if (auto why = renamable_by_others(st)) {
      return AgentError::resource("refusing to make private directories in " + given + ": " + where + " " + *why);
    }
    UniqueFd up(::openat(dir.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat up_st {};
    if (!up.valid() || ::fstat(up.get(), &up_st) != 0) return temp_dir_failed(where + "/..", errno);
    if (up_st.st_dev == st.st_dev && up_st.st_ino == st.st_ino) return *root;  // "/" is its own parent
    dir = std::move(up);
    st = up_st;
    where = split_path(where).parent.value_or("/");
  }
}

}  // namespace

// remove_all never follows a symbolic link: a link that an unpacked archive
// left pointing outside is removed itself, not its target.
TempDirGuard::~TempDirGuard() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

Result<TempDirGuard> make_temp_dir(std::string_view prefix) {
  auto root = private_temp_root();
  if (!root) return std::move(root).error();
  const std::string template_path = (root->ends_with('/') ? *root : *root + "/") + std::string(prefix) + "-XXXXXX";
  std::string path = template_path;
  if (::mkdtemp(path.data()) == nullptr) return temp_dir_failed(template_path, errno);
  return TempDirGuard(std::move(path));
}

}  // namespace toln
