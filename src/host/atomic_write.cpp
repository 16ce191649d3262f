#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "host/file_services.hpp"
#include "host/paths.hpp"
#include "host/process.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

struct PathParts {
  std::optional<std::string> parent;  // absent: the root or an empty path
  std::string file_name;              // "" when the path has none
};

// The parent and file name as a path library would give them: trailing
// slashes ignored, a bare name has the current directory as its parent.
PathParts split_path(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path.empty() || path == "/") return {std::nullopt, ""};
  const std::size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  std::string parent = slash == std::string_view::npos ? "." : slash == 0 ? "/" : std::string(path.substr(0, slash));
  if (name == "..") name = {};
  return {parent, std::string(name)};
}

AgentError os_step_error(std::string_view step, int errnum) {
  return AgentError::resource(std::string(step) + ": " + os_error_text(errnum));
}

Status write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return os_step_error("write temp", errno);
    }
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

void sync_directory(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

}  // namespace

std::string atomic_temp_path(const std::string& path) {
  const PathParts parts = split_path(path);
  const std::string name = parts.file_name.empty() || !is_valid_utf8(parts.file_name) ? "toln" : parts.file_name;
  const std::string dir = parts.parent.value_or(".");
  return (dir == "/" ? "" : dir) + "/." + name + ".toln-tmp." + std::to_string(::getpid());
}

Status atomic_write(const std::string& path, std::string_view data, std::optional<std::uint32_t> mode) {
  if (auto checked = require_no_nul(path); !checked) return checked;
  struct stat link_st {};
  if (::lstat(path.c_str(), &link_st) == 0 && S_ISLNK(link_st.st_mode)) {
    return AgentError::resource("refusing to atomically write " + path + ": path is a symlink");
  }
  const PathParts parts = split_path(path);
  if (!parts.parent) return AgentError::resource(path + " has no parent directory");

  const auto existing = stat_path(path);
  const std::uint32_t wanted_mode = mode.value_or(existing ? existing->st_mode & 07777 : 0644);

  const std::string temp = atomic_temp_path(path);
  // Private until its mode is set: the data may be a secret meant for a 0600
  // file, and is written before the mode.
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return AgentError::resource("failed to create temp file " + temp + ": " + os_error_text(errno));

  // Owner before mode: a chown clears the set-user-id and set-group-id bits.
  Status written = write_all(fd, data);
  if (written && existing && ::fchown(fd, existing->st_uid, existing->st_gid) != 0) {
    written = os_step_error("preserve owner on temp", errno);
  }
  if (written && ::fchmod(fd, wanted_mode) != 0) written = os_step_error("set mode on temp", errno);
  if (written && ::fsync(fd) != 0) written = os_step_error("fsync temp", errno);
  if (!written) {
    ::close(fd);
    (void)::unlink(temp.c_str());
    return written;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::close(fd);
    (void)::unlink(temp.c_str());
    return AgentError::resource("failed to rename " + temp + " -> " + path + ": " + os_error_text(error));
  }
  sync_directory(*parts.parent);
  (void)run_command(host_programs::restorecon(lossy_utf8(path)));
  ::close(fd);
  return {};
}

}  // namespace toln
