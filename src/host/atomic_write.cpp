#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "host/fd_io.hpp"
#include "host/file_services.hpp"
#include "host/path_parts.hpp"
#include "host/paths.hpp"
#include "host/process.hpp"
#include "model/unique_fd.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

AgentError os_step_error(std::string_view step, int errnum) {
  return AgentError::resource(std::string(step) + ": " + os_error_text(errnum));
}

// A failure to open or flush the directory is ignored: the rename has
// happened and only its durability across a crash is at stake.
void sync_directory(const std::string& dir) {
  const UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) (void)::fsync(fd.get());
}

// Gives the written temporary file its owner (of an existing target), then
// its mode, and flushes it. The owner comes first: a chown clears the
// set-user-id and set-group-id bits.
Status finish_temp(int fd, std::string_view data, const std::optional<struct stat>& existing, std::uint32_t mode) {
  if (const int outcome = write_all(fd, data); outcome != 0) {
    return AgentError::resource("write temp: " + write_failure_text(outcome));
  }
  if (existing && ::fchown(fd, existing->st_uid, existing->st_gid) != 0) {
    return os_step_error("preserve owner on temp", errno);
  }
  if (::fchmod(fd, mode) != 0) return os_step_error("set mode on temp", errno);
  if (::fsync(fd) != 0) return os_step_error("fsync temp", errno);
  return {};
}

}  // namespace

std::string atomic_temp_path(const std::string& path) {
  const PathParts parts = split_path(path);
  const std::string name = parts.file_name.empty() || !is_valid_utf8(parts.file_name) ? "toln" : parts.file_name;
  const std::string file = "." + name + ".toln-tmp." + std::to_string(::getpid());
  // A bare name's temporary file is named bare too, in the same directory.
  const std::size_t last = path.find_last_not_of('/');
  if (last == std::string::npos || path.rfind('/', last) == std::string::npos) return file;
  const std::string& dir = *parts.parent;
  return (dir == "/" ? "" : dir) + "/" + file;
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
  // A file of this name carries this process's id, which no other running
  // process has: an earlier agent was killed while writing it. Where the
  // agent gets the same id every run (pid 1 in a container) it would refuse
  // every later write of this target.
  (void)remove_file(temp);
  // Created private: until its own mode is set, the temporary file must not
  // show the new contents (of a 0600 file, say) to other users.
  UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd.valid()) return AgentError::resource("failed to create temp file " + temp + ": " + os_error_text(errno));
  TempFileGuard temp_guard(temp);

  if (auto finished = finish_temp(fd.get(), data, existing, wanted_mode); !finished) return finished;
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    return AgentError::resource("failed to rename " + temp + " -> " + path + ": " + os_error_text(errno));
  }
  temp_guard.release();
  sync_directory(*parts.parent);
  (void)run_command(host_programs::restorecon(lossy_utf8(path)));
  return {};
}

Status commit_temp_file(const std::string& temp, const std::string& path) {
  if (auto checked = require_no_nul(path); !checked) return checked;
  {
    const UniqueFd fd(::open(temp.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid() || ::fsync(fd.get()) != 0) {
      return AgentError::resource("failed to sync " + temp + ": " + os_error_text(errno));
    }
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    return AgentError::resource("failed to rename " + temp + " -> " + path + ": " + os_error_text(errno));
  }
  sync_directory(split_path(path).parent.value_or("."));
  return {};
}

}  // namespace toln
