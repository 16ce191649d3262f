#include "host/dir_listing.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace toln {

DirListing::DirListing(int dir_fd) {
  // A descriptor of its own: closedir closes it, and an O_PATH one cannot be
  // read.
  const int listing_fd = ::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing_fd < 0) {
    error_ = errno;
    return;
  }
  dir_.reset(::fdopendir(listing_fd));
  if (!dir_) {
    error_ = errno;
    ::close(listing_fd);
  }
}

Status DirListing::status(std::string_view context) const {
  if (error_ != 0) return AgentError::os(context, error_);
  return {};
}

std::optional<std::string> DirListing::next() {
  if (!dir_ || error_ != 0) return std::nullopt;
  for (;;) {
    // readdir tells its end from its failure only by errno.
    errno = 0;
    const dirent* entry = ::readdir(dir_.get());
    if (entry == nullptr) {
      error_ = errno;
      return std::nullopt;
    }
    std::string name = entry->d_name;
    if (name != "." && name != "..") return name;
  }
}

}  // namespace toln
