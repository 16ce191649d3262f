#include "host/pending_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

#include "host/path_parts.hpp"
#include "host/random_name.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

constexpr std::size_t kNameMax = 255;
constexpr int kNameTries = 16;

// The path of a file named file beside path.
std::string path_beside(const std::string& path, const std::string& file) {
  // A bare name's temporary file is named bare too, in the same directory.
  const std::size_t last = path.find_last_not_of('/');
  if (last == std::string::npos || path.rfind('/', last) == std::string::npos) return file;
  const PathParts parts = split_path(path);
  return (*parts.parent == "/" ? "" : *parts.parent) + "/" + file;
}

// Calls make with temp_name, and with fresh names for name while the one
// tried is taken. 0, or the errno of the last try (temp_name then names it).
int under_fresh_name(std::string_view name, std::string& temp_name, const std::function<int(const char*)>& make) {
  for (int tries = 1;; ++tries) {
    const int error = make(temp_name.c_str());
    if (error != EEXIST || tries == kNameTries) return error;
    temp_name = temp_file_name(name);
  }
}

// Links the open unnamed file into dir as name: 0 or the errno.
int link_unnamed(int fd, int dir, const char* name) {
  // AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH; /proc does not.
  if (::linkat(fd, "", dir, name, AT_EMPTY_PATH) == 0) return 0;
  if (errno == EEXIST) return EEXIST;
  const std::string proc_path = "/proc/self/fd/" + std::to_string(fd);
  return ::linkat(AT_FDCWD, proc_path.c_str(), dir, name, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
}

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
  const std::string suffix = ".toln-tmp." + std::to_string(::getpid()) + "." + random_name_part();
  if (name.empty() || !is_valid_utf8(name)) name = "toln";
  return "." + std::string(name.substr(0, floor_char_boundary(name, kNameMax - 1 - suffix.size()))) + suffix;
}

std::string atomic_temp_path(const std::string& path) {
  return path_beside(path, temp_file_name(split_path(path).file_name));
}

PendingFile::PendingFile(UniqueFd dir, UniqueFd fd, bool named, std::string name, std::string temp_name,
                         std::string target)
    : dir_(std::move(dir)),
      fd_(std::move(fd)),
      named_(named),
      name_(std::move(name)),
      temp_name_(std::move(temp_name)),
      target_(std::move(target)),
      temp_path_(path_beside(target_, temp_name_)) {}

Result<PendingFile> PendingFile::create(int dir_fd, const std::string& name, const std::string& target) {
  std::string temp_name = temp_file_name(name);
  const auto failed = [&](int errnum) {
    return AgentError::os("failed to create temp file " + path_beside(target, temp_name), errnum);
  };
  UniqueFd dir(::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0));
  if (!dir.valid()) return failed(errno);
  // Created private: until its own mode is set, the file must not show the
  // new contents (of a 0600 file, say) to other users.
  UniqueFd fd(::openat(dir.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (fd.valid()) return PendingFile(std::move(dir), std::move(fd), false, name, std::move(temp_name), target);
  // EISDIR and EINVAL: a kernel or file system without unnamed files.
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return failed(errno);
  const int error = under_fresh_name(name, temp_name, [&](const char* temp) {
    fd = UniqueFd(::openat(dir.get(), temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    return fd.valid() ? 0 : errno;
  });
  if (error != 0) return failed(error);
  return PendingFile(std::move(dir), std::move(fd), true, name, std::move(temp_name), target);
}

PendingFile::~PendingFile() {
  if (committed_ || !named_ || !dir_.valid()) return;
  // The directory's owner may have put something else under the name.
  if (names_file(dir_.get(), temp_name_, fd_.get())) (void)::unlinkat(dir_.get(), temp_name_.c_str(), 0);
}

Status PendingFile::give_temp_name() {
  const int error =
      under_fresh_name(name_, temp_name_, [&](const char* temp) { return link_unnamed(fd_.get(), dir_.get(), temp); });
  temp_path_ = path_beside(target_, temp_name_);
  if (error != 0) return AgentError::os("failed to create temp file " + temp_path_, error);
  named_ = true;
  return {};
}

Status PendingFile::commit() {
  if (::fsync(fd_.get()) != 0) return AgentError::os("fsync temp", errno);
  if (!named_) {
    if (auto named = give_temp_name(); !named) return named;
  }
  if (::renameat(dir_.get(), temp_name_.c_str(), dir_.get(), name_.c_str()) != 0) {
    return AgentError::os("failed to rename " + temp_path_ + " -> " + target_, errno);
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
