#include "host/console.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "model/agent_error.hpp"

namespace toln {
namespace {

// Writes everything; the errno of the failure, or 0.
int write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (written == 0) return EIO;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

}  // namespace

void write_stdout(std::string_view text) {
  if (const int error = write_all(STDOUT_FILENO, text)) {
    (void)write_all(STDERR_FILENO, "failed printing to stdout: " + os_error_text(error) + "\n");
    ::_exit(101);
  }
}

void write_stderr(std::string_view text) {
  if (write_all(STDERR_FILENO, text) != 0) ::_exit(101);
}

void internal_failure(std::string_view what) {
  (void)write_all(STDERR_FILENO, "toln-agent: internal error: " + std::string(what) + "\n");
  ::_exit(101);
}

}  // namespace toln

namespace toln {

void exit_process(int status) { ::_exit(status); }

}  // namespace toln
