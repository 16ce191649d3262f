#include "resources/download_place.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <utility>

#include "host/path_parts.hpp"

namespace toln {
namespace {

// Unpredictable, so another user cannot take the name first.
std::string random_suffix() {
  std::uint64_t value = 0;
  if (::getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) {
    value = static_cast<std::uint64_t>(::getpid()) ^ static_cast<std::uint64_t>(::time(nullptr));
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

constexpr int kNameAttempts = 16;

std::string temp_path(const std::string& dest, const std::string& hidden) {
  const auto parent = split_path(dest).parent;
  return parent && *parent != "." ? (*parent == "/" ? "" : *parent) + "/" + hidden : hidden;
}

}  // namespace

std::string hidden_temp_name(const std::string& name) {
  static constexpr std::string_view kMiddle = ".toln-tmp.";
  const std::string suffix = random_suffix();
  const std::size_t room = NAME_MAX - 1 - kMiddle.size() - suffix.size();
  return "." + name.substr(0, room) + std::string(kMiddle) + suffix;
}

Result<PrivateFile> PrivateFile::create(int dir_fd, const std::string& name, const std::string& dest) {
  PrivateFile file(dir_fd, name);
  file.fd_ = UniqueFd(::openat(dir_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (file.fd_.valid()) return file;
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    return AgentError::resource("failed to create temp file for " + dest + ": " + os_error_text(errno));
  }
  // No unnamed files here: a private directory beside dest instead, which
  // only the agent can enter, whatever is later renamed around it.
  for (int attempt = 0; attempt < kNameAttempts && file.hidden_.empty(); ++attempt) {
    std::string hidden = hidden_temp_name(name);
    if (::mkdirat(dir_fd, hidden.c_str(), 0700) == 0) {
      file.hidden_ = std::move(hidden);
    } else if (errno != EEXIST) {
      return AgentError::resource("failed to create temp dir " + temp_path(dest, hidden) + ": " +
                                  os_error_text(errno));
    }
  }
  if (file.hidden_.empty()) return AgentError::resource("failed to create a temp dir for " + dest);
  const std::string where = temp_path(dest, file.hidden_);
  file.private_dir_ = UniqueFd(::openat(dir_fd, file.hidden_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!file.private_dir_.valid() || ::fstat(file.private_dir_.get(), &st) != 0) {
    return AgentError::resource("failed to open temp dir " + where + ": " + os_error_text(errno));
  }
  // Another user can put a directory of theirs under the name, never one
  // owned by the agent.
  if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
    return AgentError::resource("temp dir " + where + " was replaced while it was being made");
  }
  file.fd_ = UniqueFd(
      ::openat(file.private_dir_.get(), "file", O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.fd_.valid()) {
    return AgentError::resource("failed to create temp file " + where + "/file: " + os_error_text(errno));
  }
  file.in_private_dir_ = true;
  return file;
}

PrivateFile::PrivateFile(PrivateFile&& other) noexcept
    : dir_fd_(other.dir_fd_),
      name_(std::move(other.name_)),
      fd_(std::move(other.fd_)),
      hidden_(std::exchange(other.hidden_, {})),
      private_dir_(std::move(other.private_dir_)),
      in_private_dir_(std::exchange(other.in_private_dir_, false)) {}

PrivateFile::~PrivateFile() {
  if (private_dir_.valid()) {
    if (in_private_dir_) (void)::unlinkat(private_dir_.get(), "file", 0);
    if (is_entry(dir_fd_, hidden_, private_dir_.get())) (void)::unlinkat(dir_fd_, hidden_.c_str(), AT_REMOVEDIR);
  } else if (!hidden_.empty() && is_entry(dir_fd_, hidden_, fd_.get())) {
    (void)::unlinkat(dir_fd_, hidden_.c_str(), 0);
  }
}

bool PrivateFile::is_entry(int dir, const std::string& name, int fd) {
  struct stat entry {};
  struct stat own {};
  return !name.empty() && ::fstatat(dir, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(fd, &own) == 0 &&
         entry.st_dev == own.st_dev && entry.st_ino == own.st_ino;
}

Status PrivateFile::link_hidden(const std::string& dest) {
  const std::string proc_path = "/proc/self/fd/" + std::to_string(fd_.get());
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string hidden = hidden_temp_name(name_);
    // AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH; /proc does not.
    int linked = ::linkat(fd_.get(), "", dir_fd_, hidden.c_str(), AT_EMPTY_PATH);
    if (linked != 0 && errno != EEXIST) {
      linked = ::linkat(AT_FDCWD, proc_path.c_str(), dir_fd_, hidden.c_str(), AT_SYMLINK_FOLLOW);
    }
    if (linked == 0) {
      hidden_ = std::move(hidden);
      return {};
    }
    if (errno != EEXIST) {
      return AgentError::resource("failed to link temp file " + temp_path(dest, hidden) + ": " +
                                  os_error_text(errno));
    }
  }
  return AgentError::resource("failed to find a free temp name for " + dest);
}

Status PrivateFile::put_in_place(const std::string& dest) {
  if (::fsync(fd_.get()) != 0) return AgentError::resource("failed to sync " + dest + ": " + os_error_text(errno));
  if (!private_dir_.valid()) {
    if (auto linked = link_hidden(dest); !linked) return linked;
  }
  const int from_dir = private_dir_.valid() ? private_dir_.get() : dir_fd_;
  const std::string from = private_dir_.valid() ? "file" : hidden_;
  if (::renameat(from_dir, from.c_str(), dir_fd_, name_.c_str()) != 0) {
    const std::string shown = temp_path(dest, hidden_) + (private_dir_.valid() ? "/file" : "");
    return AgentError::resource("failed to rename " + shown + " -> " + dest + ": " + os_error_text(errno));
  }
  if (private_dir_.valid()) {
    in_private_dir_ = false;
  } else {
    hidden_.clear();
  }
  const UniqueFd dir(::openat(dir_fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) (void)::fsync(dir.get());
  // The hidden name may have been swapped for another file before the
  // rename took it.
  if (!is_entry(dir_fd_, name_, fd_.get())) {
    return AgentError::resource(dest + " was replaced while it was being written");
  }
  return {};
}

}  // namespace toln
