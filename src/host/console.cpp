#include "host/console.hpp"

#include <unistd.h>

#include <string>

#include "host/fd_io.hpp"

namespace toln {

void write_stdout(std::string_view text) {
  if (auto written = write_whole(STDOUT_FILENO, text); !written) {
    (void)write_whole(STDERR_FILENO, "failed printing to stdout: " + written.error().message() + "\n");
    ::_exit(101);
  }
}

void write_stderr(std::string_view text) {
  if (!write_whole(STDERR_FILENO, text)) ::_exit(101);
}

void internal_failure(std::string_view what) {
  (void)write_whole(STDERR_FILENO, "toln-agent: internal error: " + std::string(what) + "\n");
  ::_exit(101);
}

void exit_process(int status) { ::_exit(status); }

}  // namespace toln
