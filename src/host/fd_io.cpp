#include "host/fd_io.hpp"

#include <unistd.h>

#include <cerrno>

#include "model/agent_error.hpp"

namespace toln {

int write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (written == 0) return kWroteNothing;
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

std::string write_failure_text(int outcome) {
  return outcome == kWroteNothing ? "failed to write whole buffer" : os_error_text(outcome);
}

}  // namespace toln
