#include "host/pending_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "host/path_parts.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

constexpr std::size_t kNameMax = 255;

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whether dir's entry name is the open file fd.
bool names_file(int dir, const std::string& name, int fd) {
  struct stat mine {};
  struct stat named {};
  return fd >= 0 && ::fstat(fd, &mine) == 0 && ::fstatat(dir, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         same_file(mine, named);
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

PendingFile::PendingFile(UniqueFd dir, UniqueFd fd, bool named, std::string name, std::string target)
    : dir_(std::move(dir)),
      fd_(std::move(fd)),
      named_(named),
      name_(std::move(name)),
      temp_name_(temp_file_name(name_)),
      target_(std::move(target)),
      temp_path_(atomic_temp_path(target_)) {}

Result<PendingFile> PendingFile::create(int dir_fd, const std::string& name, const std::string& target) {
  const auto failed = [&](int errnum) {
    return AgentError::resource("failed to create temp file " + atomic_temp_path(target) + ": " + os_error_text(errnum));
  };
  UniqueFd dir(::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0));
  if (!dir.valid()) return failed(errno);
  // Created private: until its own mode is set, the file must not show the
  // new contents (of a 0600 file, say) to other users.
  UniqueFd fd(::openat(dir.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (fd.valid()) return PendingFile(std::move(dir), std::move(fd), false, name, target);
  // EISDIR and EINVAL: a kernel or file system without unnamed files.
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return failed(errno);
  const std::string temp_name = temp_file_name(name);
  // A file of this name carries this process's id, which no other running
  // process has: an earlier agent was killed while writing it. Where the
  // agent gets the same id every run (pid 1 in a container) it would refuse
  // every later write of this target.
  (void)::unlinkat(dir.get(), temp_name.c_str(), 0);
  fd = UniqueFd(::openat(dir.get(), temp_name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.valid()) return failed(errno);
  return PendingFile(std::move(dir), std::move(fd), true, name, target);
}

PendingFile::~PendingFile() {
  if (committed_ || !named_ || !dir_.valid()) return;
  // The directory's owner may have put something else under the name.
  if (names_file(dir_.get(), temp_name_, fd_.get())) (void)::unlinkat(dir_.get(), temp_name_.c_str(), 0);
}

Status PendingFile::give_temp_name() {
  // As at creation: an entry of this name was left by a killed agent of the
  // same id. unlinkat removes the entry itself, whatever it is.
  (void)::unlinkat(dir_.get(), temp_name_.c_str(), 0);
  // AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH; /proc does not.
  if (::linkat(fd_.get(), "", dir_.get(), temp_name_.c_str(), AT_EMPTY_PATH) != 0) {
    const std::string proc_path = "/proc/self/fd/" + std::to_string(fd_.get());
    if (errno == EEXIST ||
        ::linkat(AT_FDCWD, proc_path.c_str(), dir_.get(), temp_name_.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      return AgentError::resource("failed to create temp file " + temp_path_ + ": " + os_error_text(errno));
    }
  }
  named_ = true;
  return {};
}

Status PendingFile::commit() {
  if (::fsync(fd_.get()) != 0) return AgentError::resource("fsync temp: " + os_error_text(errno));
  if (!named_) {
    if (auto named = give_temp_name(); !named) return named;
  }
  if (::renameat(dir_.get(), temp_name_.c_str(), dir_.get(), name_.c_str()) != 0) {
    return AgentError::resource("failed to rename " + temp_path_ + " -> " + target_ + ": " + os_error_text(errno));
  }
  committed_ = true;
  // The directory's owner can rename entries in it at any time: what the
  // rename moved must be the file written here.
  if (!names_file(dir_.get(), name_, fd_.get())) {
    return AgentError::resource(target_ + " was replaced while it was being written");
  }
  // A failure to open or flush the directory is ignored: the rename has
  // happened and only its durability across a crash is at stake.
  const UniqueFd sync_fd(::openat(dir_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (sync_fd.valid()) (void)::fsync(sync_fd.get());
  return {};
}

}  // namespace toln
