#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "host/fd_io.hpp"
#include "host/file_services.hpp"
#include "host/path_checks.hpp"
#include "host/path_parts.hpp"
#include "host/process.hpp"
#include "host/safe_path.hpp"
#include "host/unique_fd.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

constexpr std::size_t kNameMax = 255;

AgentError os_step_error(std::string_view step, int errnum) {
  return AgentError::resource(std::string(step) + ": " + os_error_text(errnum));
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Gives the written temporary file its owner (of an existing target), then
// its mode. The owner comes first: a chown clears the set-user-id and
// set-group-id bits.
Status finish_temp(int fd, std::string_view data, const std::optional<struct stat>& existing, std::uint32_t mode) {
  if (const int outcome = write_all(fd, data); outcome != 0) {
    return AgentError::resource("write temp: " + write_failure_text(outcome));
  }
  if (existing && ::fchown(fd, existing->st_uid, existing->st_gid) != 0) {
    return os_step_error("preserve owner on temp", errno);
  }
  if (::fchmod(fd, mode) != 0) return os_step_error("set mode on temp", errno);
  return {};
}

}  // namespace

std::string temp_file_name(std::string_view name) {
  const std::string suffix = ".toln-tmp." + std::to_string(::getpid());
  if (name.empty() || !is_valid_utf8(name)) name = "toln";
  return "." + std::string(name.substr(0, floor_char_boundary(name, kNameMax - 1 - suffix.size()))) + suffix;
}

std::string atomic_temp_path(const std::string& path) {
  const PathParts parts = split_path(path);
  const std::string file = temp_file_name(parts.file_name);
  // A bare name's temporary file is named bare too, in the same directory.
  const std::size_t last = path.find_last_not_of('/');
  if (last == std::string::npos || path.rfind('/', last) == std::string::npos) return file;
  const std::string& dir = *parts.parent;
  return (dir == "/" ? "" : dir) + "/" + file;
}

PendingFile::PendingFile(UniqueFd dir, UniqueFd fd, std::string name, std::string temp_name, std::string target)
    : dir_(std::move(dir)),
      fd_(std::move(fd)),
      name_(std::move(name)),
      temp_name_(std::move(temp_name)),
      target_(std::move(target)),
      temp_path_(atomic_temp_path(target_)) {}

Result<PendingFile> PendingFile::create(int dir_fd, const std::string& name, const std::string& target) {
  const std::string temp_name = temp_file_name(name);
  const auto failed = [&](int errnum) {
    return AgentError::resource("failed to create temp file " + atomic_temp_path(target) + ": " + os_error_text(errnum));
  };
  UniqueFd dir(::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0));
  if (!dir.valid()) return failed(errno);
  // A file of this name carries this process's id, which no other running
  // process has: an earlier agent was killed while writing it. Where the
  // agent gets the same id every run (pid 1 in a container) it would refuse
  // every later write of this target.
  (void)::unlinkat(dir.get(), temp_name.c_str(), 0);
  // Created private: until its own mode is set, the temporary file must not
  // show the new contents (of a 0600 file, say) to other users.
  UniqueFd fd(::openat(dir.get(), temp_name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.valid()) return failed(errno);
  return PendingFile(std::move(dir), std::move(fd), name, temp_name, target);
}

PendingFile::~PendingFile() {
  if (committed_ || !dir_.valid()) return;
  // The directory's owner may have put something else under the name.
  struct stat mine {};
  struct stat named {};
  if (fd_.valid() && ::fstat(fd_.get(), &mine) == 0 &&
      ::fstatat(dir_.get(), temp_name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && same_file(mine, named)) {
    (void)::unlinkat(dir_.get(), temp_name_.c_str(), 0);
  }
}

Status PendingFile::commit() {
  if (::fsync(fd_.get()) != 0) return os_step_error("fsync temp", errno);
  if (::renameat(dir_.get(), temp_name_.c_str(), dir_.get(), name_.c_str()) != 0) {
    return AgentError::resource("failed to rename " + temp_path_ + " -> " + target_ + ": " + os_error_text(errno));
  }
  committed_ = true;
  // The directory's owner can rename entries in it at any time: what the
  // rename moved must be the file written here.
  struct stat mine {};
  struct stat named {};
  if (::fstat(fd_.get(), &mine) != 0 || ::fstatat(dir_.get(), name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      !same_file(mine, named)) {
    return AgentError::resource(target_ + " was replaced while it was being written");
  }
  // A failure to open or flush the directory is ignored: the rename has
  // happened and only its durability across a crash is at stake.
  const UniqueFd sync_fd(::openat(dir_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (sync_fd.valid()) (void)::fsync(sync_fd.get());
  return {};
}

Result<UniqueFd> atomic_write_keeping_fd(const std::string& path, std::string_view data,
                                         std::optional<std::uint32_t> mode) {
  auto resolved = resolve_path(path, LastLink::Keep);
  if (!resolved) return std::move(resolved).error();
  if (resolved->is_link) {
    return AgentError::resource("refusing to atomically write " + path + ": path is a symlink");
  }
  if (!split_path(path).parent || (!resolved->parent.valid() && resolved->exists())) {
    return AgentError::resource(path + " has no parent directory");
  }
  if (!resolved->parent.valid()) {
    return AgentError::resource("failed to create temp file " + atomic_temp_path(path) + ": " +
                                os_error_text(resolved->missing_errno));
  }
  // A trailing slash names a directory, which a file cannot replace: the
  // rename would say so.
  if (path.ends_with('/')) {
    const int error = resolved->exists() && S_ISDIR(resolved->st.st_mode) ? EISDIR : ENOTDIR;
    return AgentError::resource("failed to rename " + atomic_temp_path(path) + " -> " + path + ": " +
                                os_error_text(error));
  }

  std::optional<struct stat> existing;
  if (resolved->exists()) existing = resolved->st;
  const std::uint32_t wanted_mode = mode.value_or(existing ? existing->st_mode & 07777 : 0644);

  auto file = PendingFile::create(resolved->parent.get(), resolved->name, path);
  if (!file) return std::move(file).error();
  if (auto finished = finish_temp(file->fd(), data, existing, wanted_mode); !finished) return std::move(finished).error();
  if (auto committed = file->commit(); !committed) return std::move(committed).error();
  (void)run_command(host_programs::restorecon(lossy_utf8(path)));
  return file->release_fd();
}

Status atomic_write(const std::string& path, std::string_view data, std::optional<std::uint32_t> mode) {
  auto written = atomic_write_keeping_fd(path, data, mode);
  if (!written) return std::move(written).error();
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
  const UniqueFd dir(::open(split_path(path).parent.value_or(".").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) (void)::fsync(dir.get());
  return {};
}

}  // namespace toln
